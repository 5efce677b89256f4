#include "LoopbackServer.h"

LoopbackServer::LoopbackServer(int port)
    : m_port(port)
{
    // The library's default adds SO_REUSEPORT, with which two servers can
    // share a port, and the kernel may even hand a taken port to a bind on
    // port 0. Each server must own its port.
    m_server.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_server.set_keep_alive_timeout(1);
    m_server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.append({ QByteArray::fromStdString(req.method), QByteArray::fromStdString(req.target),
                            QByteArray::fromStdString(req.path), req.headers });
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

LoopbackServer::~LoopbackServer()
{
    m_server.stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool LoopbackServer::start()
{
    if (m_port == 0) {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            return false;
    } else if (!m_server.bind_to_port("127.0.0.1", m_port)) {
        return false;
    }
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // stop() is a no-op until the loop runs; wait so that a quick
    // destruction cannot leave the loop running forever.
    while (!m_server.is_running())
        std::this_thread::yield();
    return true;
}

QByteArray LoopbackServer::origin() const
{
    return "http://127.0.0.1:" + QByteArray::number(m_port);
}

QList<LoopbackServer::Request> LoopbackServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int LoopbackServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}
