// Fuzzes the sandbox's photo upload with arbitrary multipart bodies, through
// its own HTTP server on loopback: no crash, no hang, well-formed answers,
// and a photo is stored only when the answer is 200.
#include "sandbox/SandboxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <chrono>
#include <thread>

namespace {

SandboxServer *server = nullptr;
std::string token;

std::string exchange(const std::string &request)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(server->config().port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A busy machine may refuse a connection now and then (a full backlog):
    // that is the harness's trouble, not a finding, so it tries again.
    int fd = -1;
    for (int attempt = 0; attempt < 200 && fd < 0; ++attempt) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (fd < 0)
        std::abort();
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break; // the server may answer and close before the body is in
        sent += size_t(n);
    }
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, size_t(n));
    ::close(fd);
    return answer;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static char dataDir[] = "/tmp/orvelle-fuzz-multipart-XXXXXX"; // the photos go here
    if (!::mkdtemp(dataDir))
        std::abort();
    std::atexit([] { std::filesystem::remove_all(dataDir); });
    SandboxConfig config;
    config.port = 0;
    config.dataDir = dataDir;
    server = new SandboxServer(config);
    std::string error;
    if (!server->start(&error))
        std::abort();
    std::thread([] { server->run(); }).detach();
    const Store::User user = server->store().defaultUser();
    server->store().grant(user.id, { "photo_upload" });
    token = server->store().newToken(user.id, 24 * 3600);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const std::string body(reinterpret_cast<const char *>(data), size);
    const size_t photosBefore = server->store().photos().size();
    const std::string answer = exchange("POST /me/photos?access_token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:"
                                        + std::to_string(server->config().port)
                                        + "\r\nConnection: close\r\nContent-Type: multipart/form-data; boundary=fz"
                                          "\r\nContent-Length: "
                                        + std::to_string(size) + "\r\n\r\n" + body);
    const bool stored = server->store().photos().size() > photosBefore;
    // A server that answers before reading every byte it was sent (a broken
    // body, or bytes after the closing boundary) closes with unread data,
    // which resets the connection: the answer can be lost on the way, and
    // then there is nothing to compare.
    if (answer.empty())
        return 0;
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || stored != (answer.rfind("HTTP/1.1 200", 0) == 0))
        std::abort();
    return 0;
}
