#ifndef NETWORK_COOKIEJAR_H
#define NETWORK_COOKIEJAR_H

#include <QList>
#include <QMetaType>
#include <QNetworkCookie>
#include <QNetworkCookieJar>

#if QT_VERSION_MAJOR < 6
using CookieList = QList<QNetworkCookie>;
#else
// Qt 6 names a stored value after its type's own name, and QtNetwork
// registers QList<QNetworkCookie> itself, without our stream operators: a
// type of our own keeps both the name "CookieList" in the cookie file (which
// the Qt 5 build reads) and the stream form below.
struct CookieList : QList<QNetworkCookie>
{
    using QList::QList;
    CookieList() = default;
    CookieList(const QList<QNetworkCookie> &cookies) : QList(cookies) { }
};
#endif
Q_DECLARE_METATYPE(CookieList)

// Stream form of a "CookieList" value: a quint32 count, then each cookie's
// full raw form as a QByteArray.
QDataStream &operator<<(QDataStream &stream, const CookieList &cookies);
QDataStream &operator>>(QDataStream &stream, CookieList &cookies);

namespace Network {

// A cookie jar that survives restarts. It reads "cookies.ini" in the host's
// data folder before it first hands out or takes cookies, and store() writes
// the persistent cookies that have not expired back (owner-only file).
//
// The host creates the jar and installs it on the network manager it gives
// the plug-in; the plug-in calls store() whenever its browser window closes.
class CookieJar : public QNetworkCookieJar
{
    Q_OBJECT
public:
    explicit CookieJar(QObject *parent = nullptr);

    QList<QNetworkCookie> cookiesForUrl(const QUrl &url) const override;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookies, const QUrl &url) override;

    void fetch() const;
    // False, with a warning, when the file could not be written.
    bool store();
    // Forgets the sites' cookies, session ones too (Network::isSitesCookie);
    // how many went. The file keeps them until store().
    int removeSitesCookies(const QList<QUrl> &sites);

    static QString filePath();

private:
    mutable bool m_loaded = false;
};

} // namespace Network

#endif // NETWORK_COOKIEJAR_H
