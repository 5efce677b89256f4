#ifndef LOOPBACKSERVER_H
#define LOOPBACKSERVER_H

#include <httplib.h>

#include <QByteArray>
#include <QList>

#include <mutex>
#include <thread>

// An HTTP server on 127.0.0.1 for tests, serving on its own thread. Port 0
// picks a free port. Every request is recorded as it arrives, before its
// handler runs (so without its body).
class LoopbackServer
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query exactly as sent
        QByteArray path;   // decoded path
        httplib::Headers headers;
    };

    explicit LoopbackServer(int port = 0);
    ~LoopbackServer();

    httplib::Server &http() { return m_server; }
    bool start();
    int port() const { return m_port; }
    QByteArray origin() const;

    QList<Request> requests() const;
    int requestCount() const;

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port;
    mutable std::mutex m_mutex;
    QList<Request> m_requests;
};

#endif // LOOPBACKSERVER_H
