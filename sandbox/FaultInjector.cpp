#include "FaultInjector.h"

#include "GraphError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// The server library does not hand its sockets to handlers, so a dropped
// connection is made by finding the socket by its two ports and shutting it
// down; the library then fails to answer and closes it.
void dropConnection(int serverPort, int clientPort)
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int last = int(std::min<rlim_t>(limit.rlim_cur, 65536));
    for (int fd = 0; fd < last; ++fd) {
        sockaddr_in local {}, peer {};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 || local.sin_family != AF_INET)
            continue;
        length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue;
        if (ntohs(local.sin_port) == serverPort && ntohs(peer.sin_port) == clientPort) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
}

const char outagePage[] = "<!DOCTYPE html><html><head><title>Error</title></head><body>"
                          "<h1>Sorry, something went wrong.</h1><p>We're working on it and we'll get it fixed "
                          "as soon as we can.</p></body></html>";

} // namespace

bool FaultInjector::addScript(const std::string &json, std::string *error)
{
    QJsonParseError parseError {};
    const QJsonObject script = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parseError).object();
    const std::string path = script.value("path").toString().toStdString();
    if (parseError.error != QJsonParseError::NoError || path.empty() || path[0] != '/'
        || !script.value("replies").isArray()) {
        *error = "expected {\"path\":\"/...\",\"replies\":[...]}";
        return false;
    }
    std::deque<Reply> replies;
    for (const QJsonValue &value : script.value("replies").toArray()) {
        const QJsonObject item = value.toObject();
        Reply reply;
        reply.method = script.value("method").toString().toStdString();
        reply.status = item.value("status").toInt();
        if (item.value("error").isObject()) {
            const QJsonObject graphError = item.value("error").toObject();
            reply.hasError = true;
            reply.code = graphError.value("code").toInt();
            reply.subcode = graphError.value("error_subcode").toInt();
            reply.type = graphError.value("type").toString("OAuthException").toStdString();
            reply.message = graphError.value("message").toString("Scripted error").toStdString();
        }
        reply.body = item.value("body").toString().toStdString();
        reply.contentType = item.value("content_type").toString(QString::fromStdString(reply.contentType)).toStdString();
        reply.location = item.value("location").toString().toStdString();
        reply.outagePage = item.value("html").toBool();
        reply.drop = item.value("drop").toBool();
        reply.early = item.value("early").toBool();
        reply.cut = item.value("cut").toBool();
        reply.stall = item.value("stall").toBool();
        reply.endless = item.value("endless").toBool();
        reply.pass = item.value("pass").toBool();
        reply.stored = item.value("stored").toBool();
        reply.delayMs = item.value("delay_ms").toInt();
        const int times = item.value("times").toInt(1);
        if (times < 1 || times > maxTimes || reply.delayMs < 0 || reply.delayMs > maxDelayMs) {
            *error = "\"times\" must be 1 to " + std::to_string(maxTimes) + " and \"delay_ms\" 0 to "
                + std::to_string(maxDelayMs);
            return false;
        }
        for (int i = 0; i < times; ++i)
            replies.push_back(reply);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto &queue = m_scripts[path];
    queue.insert(queue.end(), replies.begin(), replies.end());
    return true;
}

bool FaultInjector::beforeBody(const httplib::Request &request, int serverPort)
{
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_scripts.find(request.path);
        if (found == m_scripts.end() || found->second.empty())
            return false;
        const Reply &next = found->second.front();
        if (!next.early || (!next.method.empty() && next.method != request.method))
            return false;
        reply = next;
        found->second.pop_front();
    }
    // A slow reader: the client's body waits in the socket meanwhile.
    if (reply.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    if (!reply.drop)
        return false;
    dropConnection(serverPort, request.remote_port);
    return true;
}

void FaultInjector::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scripts.clear();
    m_uploadLimit.reset();
}

void FaultInjector::limitUploads(const GraphError &error, std::chrono::milliseconds duration)
{
    Reply reply;
    reply.hasError = true;
    reply.code = error.code;
    reply.subcode = error.subcode;
    reply.type = error.type;
    reply.message = error.message;
    reply.status = error.httpStatus();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uploadLimit = reply;
    m_uploadLimitEnd = std::chrono::steady_clock::now() + duration;
}

std::optional<FaultInjector::Reply> FaultInjector::uploadLimit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_uploadLimit && std::chrono::steady_clock::now() >= m_uploadLimitEnd)
        m_uploadLimit.reset();
    return m_uploadLimit;
}

std::optional<FaultInjector::Reply> FaultInjector::take(const httplib::Request &request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_scripts.find(request.path);
    if (found == m_scripts.end() || found->second.empty())
        return std::nullopt;
    const Reply next = found->second.front();
    if (!next.method.empty() && next.method != request.method)
        return std::nullopt;
    found->second.pop_front();
    return next;
}

bool FaultInjector::intercept(const httplib::Request &request, httplib::Response &response, int serverPort)
{
    const std::optional<Reply> reply = take(request);
    return reply && answer(*reply, request, response, serverPort);
}

bool FaultInjector::answer(const Reply &reply, const httplib::Request &request, httplib::Response &response,
                           int serverPort)
{
    if (reply.stall) {
        // The headers go out before the provider is first asked for data.
        const int stallMs = reply.delayMs;
        response.status = reply.status ? reply.status : 200;
        response.set_chunked_content_provider(reply.contentType.c_str(), [stallMs](size_t, httplib::DataSink &) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
            return false;
        });
        return true;
    }
    if (reply.endless) {
        response.status = 200;
        response.set_chunked_content_provider(reply.contentType.c_str(), [](size_t offset, httplib::DataSink &sink) {
            static const std::string chunk(64 * 1024, ' ');
            constexpr size_t bound = size_t(1) << 30; // a client that never stops reading still ends
            return offset < bound && sink.write(chunk.data(), chunk.size());
        });
        return true;
    }
    if (reply.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    if (reply.pass)
        return false;
    if (reply.drop) {
        dropConnection(serverPort, request.remote_port);
        response.status = 500;
        return true;
    }
    if (reply.cut) {
        // Content-Length promises the whole body; half of it comes, then the
        // connection closes.
        auto body = std::make_shared<std::string>(reply.body.empty() ? std::string(512, ' ') : reply.body);
        response.status = reply.status ? reply.status : 200;
        response.set_content_provider(body->size(), reply.contentType.c_str(),
                                      [body](size_t offset, size_t, httplib::DataSink &sink) {
                                          if (offset == 0)
                                              sink.write(body->data(), body->size() / 2);
                                          return false;
                                      });
        return true;
    }
    if (reply.hasError) {
        GraphError error { reply.code, reply.type, reply.message, reply.subcode, reply.status };
        error.writeTo(response);
        return true;
    }
    response.status = reply.status ? reply.status : 200;
    if (!reply.location.empty())
        response.set_header("Location", reply.location);
    if (reply.outagePage)
        response.set_content(outagePage, "text/html; charset=utf-8");
    else
        response.set_content(reply.body, reply.contentType.c_str());
    return true;
}
