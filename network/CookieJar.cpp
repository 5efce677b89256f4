#include "CookieJar.h"

#include "SiteCookies.h"
#include "utils/OwnerOnlyFile.h"

#include <QDataStream>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <new>

namespace {

void registerCookieList()
{
    qRegisterMetaType<CookieList>("CookieList");
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 takes the stream operators from the type itself; Qt 5 wants them
    // registered by name.
    qRegisterMetaTypeStreamOperators<CookieList>("CookieList");
#endif
}

} // namespace

QDataStream &operator<<(QDataStream &stream, const CookieList &cookies)
{
    stream << quint32(cookies.size());
    for (const QNetworkCookie &cookie : cookies)
        stream << cookie.toRawForm(QNetworkCookie::Full);
    return stream;
}

QDataStream &operator>>(QDataStream &stream, CookieList &cookies)
{
    cookies.clear();
    quint32 count = 0;
    stream >> count;
    for (quint32 i = 0; i < count && stream.status() == QDataStream::Ok; ++i) {
        QByteArray raw;
        stream >> raw;
        const QList<QNetworkCookie> parsed = QNetworkCookie::parseCookies(raw);
        if (parsed.isEmpty() && !raw.isEmpty())
            qWarning() << "Faild to fetch cookies: an unreadable entry of" << raw.size() << "bytes"; // never its value
        cookies += parsed;
        if (stream.atEnd())
            break;
    }
    return stream;
}

namespace Network {

CookieJar::CookieJar(QObject *parent)
    : QNetworkCookieJar(parent)
{
}

QString CookieJar::filePath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .absoluteFilePath(QStringLiteral("cookies.ini"));
}

QList<QNetworkCookie> CookieJar::cookiesForUrl(const QUrl &url) const
{
    fetch();
    return QNetworkCookieJar::cookiesForUrl(url);
}

// Loads first: a cookie taken before the file was read must not be
// overwritten by the file's older content.
bool CookieJar::setCookiesFromUrl(const QList<QNetworkCookie> &cookies, const QUrl &url)
{
    fetch();
    return QNetworkCookieJar::setCookiesFromUrl(cookies, url);
}

void CookieJar::fetch() const
{
    if (m_loaded)
        return;
    const QString path = filePath();
    qDebug() << "Fetch cookies from:" << path;
    CookieList cookies;
    QString reason;
    if (!OwnerOnlyFile::isSafeToRead(path, &reason)) {
        qWarning() << "Faild to fetch cookies:" << reason;
        const_cast<CookieJar *>(this)->setAllCookies(cookies);
        m_loaded = true;
        return;
    }
    QSettings settings(path, QSettings::IniFormat);
    registerCookieList();
    try {
        cookies = qvariant_cast<CookieList>(settings.value(QStringLiteral("cookies"), QVariant()));
    } catch (const std::bad_alloc &) {
        // Qt's reader of stored values believes the sizes it reads: a damaged
        // file can ask it for an impossible list, and it gives up by throwing.
        qWarning() << "Faild to fetch cookies: the stored value is damaged";
    }
    const_cast<CookieJar *>(this)->setAllCookies(cookies);
    m_loaded = true;
}

bool CookieJar::store()
{
    fetch(); // never replace the file with a jar that has not read it
    const QString path = filePath();
    qDebug() << "Store cookies to:" << path;
    // Login cookies: for the owner's eyes only, or not written at all.
    QString reason;
    if (!OwnerOnlyFile::prepare(path, &reason)) {
        qWarning() << "Cookies not stored:" << reason;
        return false;
    }
    QSettings settings(path, QSettings::IniFormat);
    registerCookieList();
    CookieList cookies = allCookies();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = cookies.size() - 1; i >= 0; --i) {
        if (cookies.at(i).isSessionCookie() || cookies.at(i).expirationDate() <= now)
            cookies.removeAt(i);
    }
    settings.setValue(QStringLiteral("cookies"), QVariant::fromValue(cookies));
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning() << "Cookies not stored to:" << path;
        return false;
    }
    return true;
}

int CookieJar::removeSitesCookies(const QList<QUrl> &sites)
{
    fetch(); // the file's cookies too
    QList<QNetworkCookie> kept = allCookies();
    const int before = kept.size();
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [&sites](const QNetworkCookie &cookie) { return isSitesCookie(cookie, sites); }),
               kept.end());
    setAllCookies(kept);
    return before - kept.size();
}

} // namespace Network
