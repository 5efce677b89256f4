#include "GraphClient.h"

#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "utils/Logging.h"
#include "utils/OwnerOnlyFile.h"
#include "utils/SecretMask.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QUrlQuery>

namespace {

// Which token the album ids came with, without keeping another copy of it.
QByteArray accountDigest(const QString &token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256);
}

QNetworkRequest signedRequest(QUrl url, const QString &token, QObject *task)
{
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("access_token"), token);
    url.setQuery(query);
    QNetworkRequest request(url);
    // A redirect is reported, never followed: Qt 6 would follow a 302 to an
    // upload with a GET and report that page's success as the photo's.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setOriginatingObject(task);
    return request;
}

} // namespace

GraphClient::GraphClient(const QByteArray &origin, const QString &tokenKey, QObject *parent)
    : QObject(parent)
    , m_origin(origin)
    , m_tokenKey(tokenKey)
{
}

QNetworkReply *GraphClient::get(const QString &pathAndQuery, QObject *task)
{
    const QString text = QString::fromUtf8(m_origin) + pathAndQuery;
    qCDebug(lcGraph) << "GET" << SecretMask::masked(pathAndQuery);
    return m_manager->get(signedRequest(QUrl::fromEncoded(text.toLatin1(), QUrl::TolerantMode), storedToken(), task));
}

QNetworkReply *GraphClient::post(const QString &path, QHttpMultiPart *body, QObject *task)
{
    QUrl url(QString::fromUtf8(m_origin), QUrl::TolerantMode);
    // Decoded mode: the path is literal, so a '?' in it can never start a query.
    url.setPath(path, QUrl::DecodedMode);
    qCDebug(lcGraph) << "POST" << path;
    return m_manager->post(signedRequest(url, storedToken(), task), body);
}

Network::CookieJar *GraphClient::cookieJar() const
{
    QNetworkCookieJar *jar = m_manager ? m_manager->cookieJar() : nullptr;
    if (jar && qstrcmp(jar->metaObject()->className(), "Network::CookieJar") == 0)
        return static_cast<Network::CookieJar *>(jar);
    return nullptr;
}

QString GraphClient::storedToken() const
{
    // Reading anything but our own file (a FIFO planted there) could block
    // for ever, or hand us someone else's token.
    if (!OwnerOnlyFile::isSafeToRead(Settings::filepath()))
        return QString();
    QSettings settings(Settings::filepath(), Settings::format());
    const QString token = settings.value(m_tokenKey).toString();
    SecretMask::remember(token);
    return token;
}

bool GraphClient::storeLoginToken(const QString &token)
{
    // The token is a credential: into an owner-only file, or nowhere.
    QString reason;
    if (!OwnerOnlyFile::prepare(Settings::filepath(), &reason)) {
        qCWarning(lcGraph) << "Failed to store token:" << reason;
        return false;
    }
    QSettings settings(Settings::filepath(), Settings::format());
    const QVariant previous = settings.value(m_tokenKey);
    settings.setValue(m_tokenKey, token);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcGraph) << "Failed to store token";
        // The process shares one cache per file: without this, later
        // requests would use the token the login was said to fail on.
        if (previous.isValid())
            settings.setValue(m_tokenKey, previous);
        else
            settings.remove(m_tokenKey);
        return false;
    }
    // Our own login carries the album ids over to its token; any other
    // change of the stored token (a logout, another process) empties the
    // map at its next use.
    if (accountDigest(previous.toString()) == m_albumAccount)
        m_albumAccount = accountDigest(token);
    return true;
}

bool GraphClient::forgetToken(QString *error)
{
    const QString path = Settings::filepath();
    const QFileInfo file(path);
    if (!file.exists())
        return true;
    if (!file.isFile()) { // a FIFO would block the reader for ever
        *error = QStringLiteral("The token could not be removed: %1 is not a regular file.").arg(path);
        return false;
    }
    QSettings settings(path, Settings::format());
    if (!settings.contains(m_tokenKey))
        return true;
    QString reason;
    if (!OwnerOnlyFile::prepare(path, &reason)) {
        *error = QStringLiteral("The token could not be removed: %1.").arg(reason);
        return false;
    }
    settings.remove(m_tokenKey);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("The token could not be removed from %1.").arg(path);
        return false;
    }
    return true;
}

QHash<QString, QString> &GraphClient::albumMap()
{
    // Album ids belong to the account that listed them: another login must
    // never send a photo to the previous user's album.
    const QByteArray account = accountDigest(storedToken());
    if (account != m_albumAccount) {
        if (!m_albums.isEmpty()) {
            qCInfo(lcGraph) << "The stored token changed: album ids forgotten";
            m_albumsOutdated = true;
        }
        m_albums.clear();
        m_albumAccount = account;
    }
    return m_albums;
}

void GraphClient::noteAlbums(const QVariantList &albums)
{
    QHash<QString, QString> &ids = albumMap();
    for (const QVariant &item : albums) {
        const QVariantMap album = item.toMap();
        ids.insert(album.value(QStringLiteral("name")).toString(), album.value(QStringLiteral("id")).toString());
    }
}

QString GraphClient::nextPagePath(const QVariantMap &page) const
{
    const QUrl next(page.value(QStringLiteral("paging")).toMap().value(QStringLiteral("next")).toString(),
                    QUrl::StrictMode);
    const QUrl origin(QString::fromUtf8(m_origin));
    if (!next.isValid() || next.scheme() != origin.scheme() || next.host() != origin.host()
        || next.port(next.scheme() == QLatin1String("https") ? 443 : 80)
            != origin.port(origin.scheme() == QLatin1String("https") ? 443 : 80)) {
        return QString();
    }
    QUrlQuery query(next);
    query.removeAllQueryItems(QStringLiteral("access_token"));
    QUrl path;
    path.setPath(next.path(QUrl::FullyEncoded), QUrl::TolerantMode);
    path.setQuery(query);
    return path.toString(QUrl::FullyEncoded);
}
