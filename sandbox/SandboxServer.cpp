#include "SandboxServer.h"

#include "AdminRoutes.h"
#include "DialogRoutes.h"
#include "GalleryPage.h"
#include "GraphError.h"
#include "GraphRoutes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <regex>

SandboxServer::SandboxServer(SandboxConfig config)
    : m_config(std::move(config))
    , m_uplink(m_config.uplinkBytesPerSecond)
{
}

bool SandboxServer::start(std::string *error)
{
    ::mkdir(m_config.dataDir.c_str(), 0700);
    ::mkdir(photoDir().c_str(), 0700);
    m_store = std::make_unique<Store>(m_config.dataDir + "/sandbox.db");
    if (!m_store->isOpen()) {
        *error = "cannot open the database: " + m_store->error();
        return false;
    }

    // Not the library's default, which adds SO_REUSEPORT: with it a second
    // server could share our port, or a bind on port 0 be given a taken one.
    m_http.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A browser keeps idle connections open; a short keep-alive lets stop()
    // return promptly.
    m_http.set_keep_alive_timeout(1);
    // Answers go out at once: without this, a reply's last segment waits for
    // the client's delayed acknowledgement (40 ms on Linux).
    m_http.set_tcp_nodelay(true);
    m_http.set_read_timeout(10);
    m_http.set_payload_max_length(std::size_t(1) << 40); // uploads check their own limit

    m_http.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        if (const char *refusal = refusalOf(request, &response.status)) {
            response.set_content(refusal, "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.path.rfind(AdminRoutes::prefix, 0) == 0)
            return httplib::Server::HandlerResponse::Unhandled;
        {
            std::lock_guard<std::mutex> lock(m_countsMutex);
            ++m_requestCounts[request.path];
        }
        // Bodies are read by their handlers, which apply scripts themselves.
        const bool hasBody = request.method == "POST" || request.method == "PUT";
        if (!hasBody && m_faults.intercept(request, response, m_config.port))
            return httplib::Server::HandlerResponse::Handled;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Whatever the library answers by itself (unknown path, oversized or
    // broken request) still comes in the service's error form.
    m_http.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (!response.body.empty())
            return;
        const int status = response.status;
        GraphError error = GraphError::invalidParameter(
            status == 404 ? "Unknown path components" : "Invalid request (HTTP " + std::to_string(status) + ")");
        error.code = status == 404 ? 2500 : 100;
        error.status = status;
        error.writeTo(response);
    });
    m_http.set_exception_handler([](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
        GraphError { 1, "OAuthException", "An unknown error occurred", 0, 500 }.writeTo(response);
    });

    GraphRoutes::install(*this, m_http);
    DialogRoutes::install(*this, m_http);
    AdminRoutes::install(*this, m_http);
    GalleryPage::install(*this, m_http);

    if (m_config.port == 0) {
        // Port 0: any free port; the origin (and so every address the
        // sandbox hands out) follows it.
        m_config.port = m_http.bind_to_any_port("127.0.0.1");
        if (m_config.port > 0)
            return true;
    } else if (m_http.bind_to_port("127.0.0.1", m_config.port)) {
        return true;
    }
    *error = "cannot listen on 127.0.0.1:" + std::to_string(m_config.port);
    return false;
}

void SandboxServer::run()
{
    m_http.listen_after_bind();
}

void SandboxServer::stop()
{
    m_http.stop();
}

std::map<std::string, int> SandboxServer::requestCounts()
{
    std::lock_guard<std::mutex> lock(m_countsMutex);
    return m_requestCounts;
}

void SandboxServer::resetRequestCounts()
{
    std::lock_guard<std::mutex> lock(m_countsMutex);
    m_requestCounts.clear();
}

// Any page in a browser on this machine can send requests to loopback. What
// such a page may not do: reach us through a name of its own rebound to
// 127.0.0.1 (DNS rebinding: its Host is not ours), use the control routes
// (it cannot add the control header without a preflight, which we never
// grant), or send large bodies anywhere but to the photo upload.
const char *SandboxServer::refusalOf(const httplib::Request &request, int *status) const
{
    const std::string host = request.get_header_value("Host");
    const std::string port = ":" + std::to_string(m_config.port);
    if (host != "127.0.0.1" + port && host != "localhost" + port) {
        *status = 421;
        return "Misdirected Request: this server answers only to 127.0.0.1 and localhost on its own port\n";
    }
    if (request.path.rfind(AdminRoutes::prefix, 0) == 0
        && request.get_header_value(AdminRoutes::controlHeader) != "1") {
        *status = 403;
        return "Forbidden: control calls need the control header\n";
    }
    static const std::regex upload(R"(/(me|\d+)/photos)");
    if (request.method == "POST" && std::regex_match(request.path, upload))
        return nullptr;
    if (request.has_header("Transfer-Encoding")) {
        *status = 411;
        return "Length Required\n";
    }
    const std::string length = request.get_header_value("Content-Length");
    const bool digits = std::all_of(length.begin(), length.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    if (!digits || length.size() > 9 || (!length.empty() && std::stoll(length) > maxBodyBytes)) {
        *status = 413;
        return "Payload Too Large\n";
    }
    return nullptr;
}
