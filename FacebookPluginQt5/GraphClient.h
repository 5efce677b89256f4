#ifndef GRAPHCLIENT_H
#define GRAPHCLIENT_H

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

class QHttpMultiPart;
class QNetworkReply;

// The Graph API as the tasks see it: requests to one origin signed with the
// token kept in the host's preferences file, and the ids of the albums the
// user's token listed.
class GraphClient : public QObject
{
    Q_OBJECT
public:
    GraphClient(const QByteArray &origin, const QString &tokenKey, QObject *parent = nullptr);

    // The host's; not owned.
    void setManager(QNetworkAccessManager *manager) { m_manager = manager; }
    QNetworkAccessManager *manager() const { return m_manager; }
    QByteArray origin() const { return m_origin; }

    // Requests signed with the stored token. The caller adopts the reply.
    QNetworkReply *get(const QString &pathAndQuery);
    QNetworkReply *post(const QString &path, QHttpMultiPart *body);

    QString storedToken() const;
    // Stores the token a login of ours brought; the album ids carry over to
    // it. False, and the previous token still in use, when the file could
    // not be written as a credential must be.
    bool storeLoginToken(const QString &token);

    // Album name -> album id: filled by album listings, read by uploads;
    // emptied when the stored token is no longer the one that listed them.
    QHash<QString, QString> &albumMap();

private:
    QPointer<QNetworkAccessManager> m_manager;
    const QByteArray m_origin;
    const QString m_tokenKey;
    QHash<QString, QString> m_albums;
    QByteArray m_albumAccount; // digest of the token the album ids came with
};

#endif // GRAPHCLIENT_H
