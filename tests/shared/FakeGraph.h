#ifndef FAKEGRAPH_H
#define FAKEGRAPH_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A Graph API on 127.0.0.1 (a free port) that answers on the test's own
// thread: the user's name, a granted permission list, two pages of albums,
// a profile picture and photo uploads, unless a test scripted other replies
// for a path. Every request is counted and its target kept.
class FakeGraph : public QObject
{
    Q_OBJECT
public:
    enum class Fault {
        None,
        Cut,     // headers and half the body, then the connection closes
        Drop,    // the connection closes without a reply (an upload's body read whole)
        DropEarly, // the connection closes as soon as the request's head is read
        Stall,   // headers, then nothing more
        Endless, // headers, then a body that never ends
    };
    struct Reply
    {
        int status = 200;
        QByteArray body;       // empty: the path's usual answer
        Fault fault = Fault::None;
        int delayMsecs = 0;    // before answering (an upload's body is read at once)
    };

    FakeGraph();
    QByteArray origin() const;

    // Replies for "GET /path" or "POST /path", in order; then the usual one.
    void script(const QByteArray &request, const QList<Reply> &replies);
    static Reply error(int code, const QByteArray &type = "OAuthException", const QByteArray &message = "m");
    static QList<Reply> times(int count, const Reply &reply) { return QVector<Reply>(count, reply).toList(); }

    int requests(const QByteArray &path) const { return m_requests.value(path); }
    QList<QByteArray> targets() const { return m_targets; }
    // The form fields of the last request to that path, by name (a file's
    // part: its bytes).
    using Fields = QMap<QByteArray, QByteArray>;
    Fields fields(const QByteArray &path) const;
    int photos() const { return m_photos; }             // uploads answered with the usual photo id
    int brokenUploads() const { return m_brokenUploads; } // bodies cut off before their end
    // Reads every request at this pace (bytes every 10 ms): the sockets'
    // buffers fill, and the client of a large upload is still sending.
    void setReadPace(int bytesPerTurn) { m_paceBytes = bytesPerTurn; }

private:
    void onConnection();
    void onReadable(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &method, const QByteArray &target);
    QByteArray usualAnswer(const QByteArray &method, const QByteArray &path, const QByteArray &query);
    static QByteArray scriptKey(const QByteArray &method, const QByteArray &target);

    // What one connection has read of its current request.
    struct Pending
    {
        QByteArray head;
        qint64 bodyLeft = -1; // -1: the head is still coming
        QByteArray method, target;
        QByteArray body;
    };

    QTcpServer m_server;
    QHash<QTcpSocket *, Pending> m_pending;
    QHash<QByteArray, QList<Reply>> m_scripts;
    QHash<QByteArray, int> m_requests;
    QList<QByteArray> m_targets;
    QHash<QByteArray, QByteArray> m_bodies; // the last, by path
    int m_photos = 0;
    int m_brokenUploads = 0;
    int m_paceBytes = 0; // 0: as fast as it comes
};

#endif // FAKEGRAPH_H
