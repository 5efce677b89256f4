#include "SandboxProcess.h"

#include <QElapsedTimer>
#include <QHttpMultiPart>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QEventLoop>
#include <QTimer>

SandboxProcess::SandboxProcess(QStringList arguments, int port)
    : m_arguments(std::move(arguments))
    , m_port(port)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

SandboxProcess::~SandboxProcess()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

bool SandboxProcess::start()
{
    QStringList arguments { "--port", QString::number(m_port), "--data", m_data.path(), "--exit-with-parent" };
    m_process.start(QString::fromLocal8Bit(qgetenv("ORVELLE_SANDBOX_BIN")), arguments + m_arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    // It prints its origin once it listens.
    static const QRegularExpression listening(QStringLiteral("listening on (http://[0-9.:]+)"));
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(200);
        output += m_process.readAll();
        const auto match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            m_origin = match.captured(1).toUtf8();
            qputenv("ORVELLE_SANDBOX_ORIGIN", m_origin);
            return true;
        }
    }
    qWarning("sandbox did not start: %s", output.constData());
    return false;
}

SandboxProcess::Reply SandboxProcess::send(QNetworkReply *reply)
{
    std::unique_ptr<QNetworkReply> owner(reply);
    Reply result;
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        if (!reply->isFinished()) {
            result.error = QNetworkReply::TimeoutError;
            return result;
        }
    }
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.error = reply->error();
    return result;
}

QNetworkReply *SandboxProcess::postPhoto(const QByteArray &token, QIODevice *photo, const QByteArray &fileName,
                                         const QByteArray &message)
{
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart text;
    text.setHeader(QNetworkRequest::ContentDispositionHeader, "form-data; name=\"message\"");
    text.setBody(message);
    body->append(text);
    QHttpPart source;
    source.setHeader(QNetworkRequest::ContentTypeHeader, "image/png");
    source.setHeader(QNetworkRequest::ContentDispositionHeader,
                     "form-data; name=\"source\"; filename=\"" + fileName + '"');
    source.setBodyDevice(photo);
    body->append(source);
    QNetworkReply *reply = m_manager.post(
        QNetworkRequest(QUrl::fromEncoded(m_origin + "/me/photos?access_token=" + token)), body);
    body->setParent(reply);
    return reply;
}

// The control header goes with every request; only control calls need it.
QNetworkRequest SandboxProcess::requestFor(const QByteArray &target) const
{
    QNetworkRequest request(QUrl::fromEncoded(m_origin + target));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader("X-Sandbox-Control", "1");
    return request;
}

SandboxProcess::Reply SandboxProcess::get(const QByteArray &target)
{
    return send(m_manager.get(requestFor(target)));
}

SandboxProcess::Reply SandboxProcess::post(const QByteArray &target, const QByteArray &body,
                                           const QByteArray &contentType)
{
    QNetworkRequest request = requestFor(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return send(m_manager.post(request, body));
}

QByteArray SandboxProcess::token(const QByteArray &scope)
{
    return post("/__sandbox/token?scope=" + scope).json().object().value("access_token").toString().toUtf8();
}

bool SandboxProcess::script(const QByteArray &json)
{
    return post("/__sandbox/script", json, "application/json").status == 200;
}

bool SandboxProcess::setSwitch(const QByteArray &query)
{
    return post("/__sandbox/switches?" + query).status == 200;
}

QJsonObject SandboxProcess::counters()
{
    return get("/__sandbox/counters").json().object();
}
