#ifndef WATCHEDNETWORKMANAGER_H
#define WATCHEDNETWORKMANAGER_H

#include <QNetworkAccessManager>

// The host's network manager. The plug-in sends every request through it, so
// announcing each new reply is how the host follows an upload's progress
// without the plug-in's help.
class WatchedNetworkManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;

    // Scheme, host and port of the latest request: where the service was
    // looked for (never its path or query, which carry the token).
    QString lastOrigin() const { return m_lastOrigin; }
    static QString originOf(const QUrl &url);

signals:
    void replyStarted(QNetworkReply *reply);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    QString m_lastOrigin;
};

#endif // WATCHEDNETWORKMANAGER_H
