#include "PhotoReceiver.h"

#include "Images.h"
#include "Uplink.h"

#include <cstdlib>
#include <unistd.h>

namespace {
constexpr std::size_t messageLimit = 64 * 1024; // each text part's

bool isTextField(const std::string &name)
{
    return name == "message" || name == "privacy" || name == "backdated_time";
}
} // namespace

PhotoReceiver::PhotoReceiver(std::string uploadDir, std::int64_t sizeLimit, Uplink *uplink)
    : m_uploadDir(std::move(uploadDir))
    , m_sizeLimit(sizeLimit)
    , m_uplink(uplink)
{
}

PhotoReceiver::~PhotoReceiver()
{
    removeTemporary();
}

bool PhotoReceiver::openTemporary()
{
    std::string pattern = m_uploadDir + "/incoming-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return false;
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        ::unlink(pattern.c_str());
        return false;
    }
    m_tempPath = pattern;
    return true;
}

void PhotoReceiver::removeTemporary()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

bool PhotoReceiver::receive(const httplib::ContentReader &reader)
{
    const bool complete = reader(
        [this](const httplib::MultipartFormData &part) {
            m_part = part.name;
            if (m_part == "source") {
                if (m_hasSource) {
                    m_part.clear(); // a second photo is ignored
                    return true;
                }
                m_hasSource = true;
                m_fileName = part.filename;
                return openTemporary();
            }
            if (isTextField(m_part))
                m_fields[m_part].clear(); // the last of a repeated field counts
            return true;
        },
        [this](const char *data, std::size_t length) {
            if (m_uplink)
                m_uplink->pass(length);
            if (isTextField(m_part)) {
                std::string &text = m_fields[m_part];
                if (text.size() + length > messageLimit)
                    return false;
                text.append(data, length);
            } else if (m_part == "source") {
                if (m_head.size() < 8)
                    m_head.append(data, std::min<std::size_t>(length, 8 - m_head.size()));
                m_size += std::int64_t(length);
                if (m_size > m_sizeLimit)
                    m_tooLarge = true; // keep reading so the client gets an answer
                else if (std::fwrite(data, 1, length, m_file) != length)
                    m_writeFailed = true;
            }
            return true;
        });
    if (m_file) {
        m_writeFailed = std::fclose(m_file) != 0 || m_writeFailed;
        m_file = nullptr;
    }
    return complete && !m_writeFailed;
}

bool PhotoReceiver::discard(const httplib::Request &request, const httplib::ContentReader &reader)
{
    if (request.is_multipart_form_data()) {
        return reader([](const httplib::MultipartFormData &) { return true; },
                      [](const char *, std::size_t) { return true; });
    }
    return reader([](const char *, std::size_t) { return true; });
}

std::string PhotoReceiver::field(const std::string &name) const
{
    const auto found = m_fields.find(name);
    return found == m_fields.end() ? std::string() : found->second;
}

std::string PhotoReceiver::mime() const
{
    return Images::sniff(m_head);
}

bool PhotoReceiver::commit(const std::string &path)
{
    if (m_tempPath.empty() || std::rename(m_tempPath.c_str(), path.c_str()) != 0)
        return false;
    m_tempPath.clear();
    return true;
}
