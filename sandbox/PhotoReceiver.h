#ifndef PHOTORECEIVER_H
#define PHOTORECEIVER_H

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

class Uplink;

// Reads a multipart photo upload (the "source" part and the short text
// parts beside it: "message", "privacy", "backdated_time") as it arrives:
// the photo goes straight to a temporary file in the data folder, never
// whole into memory. The file is removed unless commit() moves it to
// its final place, so an upload that breaks off leaves nothing behind.
class PhotoReceiver
{
public:
    // With an uplink, the body comes no faster than it lets through.
    PhotoReceiver(std::string uploadDir, std::int64_t sizeLimit, Uplink *uplink = nullptr);
    ~PhotoReceiver();
    PhotoReceiver(const PhotoReceiver &) = delete;
    PhotoReceiver &operator=(const PhotoReceiver &) = delete;

    // False when the body was cut off or is not well-formed multipart.
    bool receive(const httplib::ContentReader &reader);
    // Reads and forgets a body that will not be stored.
    static bool discard(const httplib::Request &request, const httplib::ContentReader &reader);

    bool hasSource() const { return m_hasSource; }
    bool tooLarge() const { return m_tooLarge; }
    std::string message() const { return field("message"); }
    bool hasField(const std::string &name) const { return m_fields.count(name) != 0; }
    std::string field(const std::string &name) const;
    std::string fileName() const { return m_fileName; }
    std::string mime() const; // sniffed from the bytes, empty if not an image
    std::int64_t size() const { return m_size; }

    // Moves the photo to path (inside the data folder).
    bool commit(const std::string &path);

private:
    bool openTemporary();
    void removeTemporary();

    const std::string m_uploadDir;
    const std::int64_t m_sizeLimit;
    Uplink *m_uplink;
    std::string m_tempPath;
    std::FILE *m_file = nullptr;
    std::string m_part;
    std::string m_head; // first bytes of the photo, for sniffing
    std::map<std::string, std::string> m_fields;
    std::string m_fileName;
    std::int64_t m_size = 0;
    bool m_hasSource = false;
    bool m_tooLarge = false;
    bool m_writeFailed = false;
};

#endif // PHOTORECEIVER_H
