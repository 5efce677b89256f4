#ifndef GRAPHCLIENT_H
#define GRAPHCLIENT_H

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

class QHttpMultiPart;
class QNetworkReply;
namespace Network {
class CookieJar;
}

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
    // The manager's jar when it is the host's copy of ours (a qobject_cast
    // fails across the two copies; the class name holds); otherwise null.
    Network::CookieJar *cookieJar() const;
    QByteArray origin() const { return m_origin; }

    // Requests signed with the stored token. The caller adopts the reply.
    // Each request names the task that sends it as its originating object,
    // so that a host can tie the bytes it sees to its own work.
    QNetworkReply *get(const QString &pathAndQuery, QObject *task = nullptr);
    QNetworkReply *post(const QString &path, QHttpMultiPart *body, QObject *task = nullptr);

    QString storedToken() const;
    // Stores the token a login of ours brought; the album ids carry over to
    // it. False, and the previous token still in use, when the file could
    // not be written as a credential must be.
    bool storeLoginToken(const QString &token);
    // Removes the token from the preferences file (a logout). False, with
    // one sentence saying why, when it could not be removed; anything but a
    // regular file there is neither read nor written.
    bool forgetToken(QString *error);

    // Album name -> album id: filled by album listings, read by uploads;
    // emptied when the stored token is no longer the one that listed them.
    QHash<QString, QString> &albumMap();
    // The album map was emptied by a change of the stored token since the
    // last listing: a name in it would have been found before.
    bool albumsOutdated() { albumMap(); return m_albumsOutdated; }
    // One page of an album listing: its albums into the map (a name listed
    // again takes the later id).
    void noteAlbums(const QVariantList &albums);
    // A listing read to its last page: the map is the current token's.
    void noteAlbumsListed() { m_albumsOutdated = false; }
    // The path and query of a listing's next page ("paging" "next"),
    // without its token; empty when there is none or it leads elsewhere:
    // the token is never sent anywhere but the Graph API.
    QString nextPagePath(const QVariantMap &page) const;

private:
    QPointer<QNetworkAccessManager> m_manager;
    const QByteArray m_origin;
    const QString m_tokenKey;
    QHash<QString, QString> m_albums;
    QByteArray m_albumAccount; // digest of the token the album ids came with
    bool m_albumsOutdated = false;
};

#endif // GRAPHCLIENT_H
