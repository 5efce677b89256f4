#include "FakeGraph.h"

#include <QTcpSocket>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace {

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

FakeGraph::FakeGraph()
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeGraph::onConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray FakeGraph::origin() const
{
    return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort());
}

void FakeGraph::script(const QByteArray &request, const QList<Reply> &replies)
{
    m_scripts[request] += replies;
}

FakeGraph::Reply FakeGraph::error(int code, const QByteArray &type, const QByteArray &message)
{
    return { 400, R"({"error":{"code":)" + QByteArray::number(code) + R"(,"type":")" + type + R"(","message":")"
                      + message + R"("}})" };
}

void FakeGraph::onConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        if (m_paceBytes > 0) {
            socket->setReadBufferSize(m_paceBytes); // the rest waits in the kernel, in a small buffer
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
            auto *pace = new QTimer(socket);
            connect(pace, &QTimer::timeout, this, [this, socket] { onReadable(socket); });
            pace->start(10);
        } else {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        }
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_pending.take(socket).bodyLeft > 0)
                ++m_brokenUploads;
            socket->deleteLater();
        });
    }
}

void FakeGraph::onReadable(QTcpSocket *socket)
{
    Pending &request = m_pending[socket];
    if (request.bodyLeft < 0) {
        request.head += socket->readAll();
        const int end = request.head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = request.head.left(end);
        const int lengthAt = head.toLower().indexOf("content-length:");
        const qint64 length = lengthAt < 0 ? 0 : head.mid(lengthAt + 15, head.indexOf('\r', lengthAt) - lengthAt - 15).trimmed().toLongLong();
        request.bodyLeft = length - (request.head.size() - end - 4);
        request.body = request.head.mid(end + 4);
        const QList<QByteArray> line = head.left(head.indexOf('\r')).split(' ');
        request.method = line.value(0);
        request.target = line.value(1);
        request.head.clear();
        m_targets << request.target;
        ++m_requests[QUrl::fromEncoded(request.target).path().toUtf8()];
        QList<Reply> &scripted = m_scripts[scriptKey(request.method, request.target)];
        if (!scripted.isEmpty() && scripted.first().fault == Fault::DropEarly) {
            scripted.removeFirst();
            socket->abort(); // forgets the request: nothing of it may be touched after this
            return;
        }
    } else {
        const QByteArray more = socket->readAll();
        request.bodyLeft -= more.size();
        request.body += more;
    }
    if (request.bodyLeft > 0)
        return;
    const Pending done = request;
    request = Pending();
    m_bodies.insert(QUrl::fromEncoded(done.target).path().toUtf8(), done.body);
    answer(socket, done.method, done.target);
}

void FakeGraph::answer(QTcpSocket *socket, const QByteArray &method, const QByteArray &target)
{
    const QUrl url = QUrl::fromEncoded(target);
    const QByteArray path = url.path().toUtf8();
    QList<Reply> &scripted = m_scripts[scriptKey(method, target)];
    Reply reply = scripted.isEmpty() ? Reply() : scripted.takeFirst();
    const bool usual = reply.body.isEmpty();
    if (usual && reply.fault != Fault::Drop) {
        reply.body = usualAnswer(method, path, url.query(QUrl::FullyEncoded).toUtf8());
    }
    const bool storesPhoto = method == "POST" && usual && reply.status == 200;
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(reply.delayMsecs, this, [this, guarded, reply, storesPhoto] {
        if (!guarded || guarded->state() != QAbstractSocket::ConnectedState)
            return;
        QTcpSocket *socket = guarded;
        if (reply.fault == Fault::Drop) {
            socket->abort();
            return;
        }
        const QByteArray location = reply.status / 100 == 3 ? "\r\nLocation: /me" : "";
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reason(reply.status) + location
            + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(reply.fault == Fault::Endless ? (1LL << 40) : qint64(reply.body.size())) + "\r\n\r\n";
        socket->write(head);
        switch (reply.fault) {
        case Fault::Cut:
            socket->write(reply.body.left(reply.body.size() / 2));
            socket->flush();
            socket->disconnectFromHost();
            return;
        case Fault::Stall:
            return;
        case Fault::Endless: {
            auto *pump = new QTimer(socket);
            connect(pump, &QTimer::timeout, socket, [socket] {
                if (socket->bytesToWrite() < (1 << 20))
                    socket->write(QByteArray(1 << 20, ' '));
            });
            pump->start(0);
            return;
        }
        default:
            socket->write(reply.body);
            if (storesPhoto)
                ++m_photos;
        }
    });
}

FakeGraph::Fields FakeGraph::fields(const QByteArray &path) const
{
    const QByteArray body = m_bodies.value(path);
    const QByteArray boundary = body.left(body.indexOf("\r\n"));
    QMap<QByteArray, QByteArray> fields;
    int at = 0;
    while (!boundary.isEmpty() && (at = body.indexOf("name=\"", at)) >= 0) {
        const int nameEnd = body.indexOf('"', at + 6);
        const int valueStart = body.indexOf("\r\n\r\n", nameEnd) + 4;
        const int valueEnd = body.indexOf("\r\n" + boundary, valueStart);
        fields.insert(body.mid(at + 6, nameEnd - at - 6), body.mid(valueStart, valueEnd - valueStart));
        at = valueEnd;
    }
    return fields;
}

QByteArray FakeGraph::scriptKey(const QByteArray &method, const QByteArray &target)
{
    const QByteArray path = QUrl::fromEncoded(target).path().toUtf8();
    return method + ' ' + (path.endsWith("/photos") ? QByteArray("/me/photos") : path);
}

QByteArray FakeGraph::usualAnswer(const QByteArray &method, const QByteArray &path, const QByteArray &query)
{
    if (method == "POST" && path == "/me/albums")
        return R"({"id":"21"})";
    if (method == "POST")
        return R"({"id":"1001"})";
    if (path == "/me")
        return QStringLiteral(R"({"name":"Ирина Соколова","id":"7"})").toUtf8();
    if (path == "/me/permissions")
        return R"({"data":[{"installed":1,"user_photos":1,"photo_upload":1}]})";
    if (path == "/me/picture")
        return R"({"data":{"url":"http://127.0.0.1:1/picture.png"}})";
    if (path == "/me/albums" && !query.contains("after="))
        return R"({"data":[{"id":"11","name":"Profile Pictures","can_upload":false},)"
               R"({"id":"12","name":"Trips","can_upload":true}],"paging":{"next":")" + origin()
            + R"(/me/albums?after=2&access_token=old"}})";
    if (path == "/me/albums")
        return R"({"data":[{"id":"13","name":"Trips","can_upload":true}]})";
    return R"({"error":{"code":803,"message":"Unknown path"}})";
}
