#ifndef SANDBOXPROCESS_H
#define SANDBOXPROCESS_H

#include <QIODevice>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Runs the sandbox service as a child process on loopback and talks to it.
// Port 0 (the default) picks a free port, so suites run in parallel. Once it
// listens, the plug-in's sandbox build talks to it: in this process and in
// the processes it starts afterwards (ORVELLE_SANDBOX_ORIGIN).
class SandboxProcess
{
public:
    struct Reply
    {
        int status = 0;
        QByteArray body;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    };

    explicit SandboxProcess(QStringList arguments = {}, int port = 0);
    ~SandboxProcess();

    bool start();
    qint64 pid() const { return m_process.processId(); }
    QString dataDir() const { return m_data.path(); }
    QByteArray origin() const { return m_origin; }

    Reply get(const QByteArray &target);
    Reply post(const QByteArray &target, const QByteArray &body = QByteArray(),
               const QByteArray &contentType = "application/x-www-form-urlencoded");
    Reply send(QNetworkReply *reply); // waits for an already sent request
    // Starts a photo upload to /me/photos streamed from photo (which must
    // outlive the reply); the reply carries the multipart body.
    QNetworkReply *postPhoto(const QByteArray &token, QIODevice *photo, const QByteArray &fileName = "big.png",
                             const QByteArray &message = QByteArray());
    QNetworkAccessManager &manager() { return m_manager; }

    // Shortcuts for the control endpoints.
    QByteArray token(const QByteArray &scope = "user_photos,photo_upload");
    bool script(const QByteArray &json);
    bool setSwitch(const QByteArray &query);
    QJsonObject counters();

private:
    QNetworkRequest requestFor(const QByteArray &target) const;

    QStringList m_arguments;
    int m_port;
    QProcess m_process;
    QTemporaryDir m_data;
    QByteArray m_origin;
    QNetworkAccessManager m_manager;
};

#endif // SANDBOXPROCESS_H
