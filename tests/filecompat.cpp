// filecompat: writes, or reads and checks, the two files the plug-in shares
// with its host, the way a build of one Qt major leaves them for a build of
// the other:
//   filecompat write DIR    preferences (token and host keys) and cookie file
//   filecompat read DIR     exits 0 only when both read back without loss
// DIR holds the home and data folders; run each side with its own build.
// The host's values here are ASCII: Qt 6 writes INI text as UTF-8, which
// Qt 5 reads as Latin-1 (a difference of Qt's own, in the host's keys; the
// token is ASCII).

#include "PrivateHome.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QDateTime>
#include <QDir>
#include <QSettings>

#include <cstdio>
#include <cstring>

namespace {

const QString token = QStringLiteral("EAAScompat0123456789abcdefABCDEF");
const QUrl site(QStringLiteral("http://127.0.0.1:47321/"));

QList<QNetworkCookie> expectedCookies()
{
    QNetworkCookie session("sbx_session", "c2Vzc2lvbg%3D%3D.1f2e");
    session.setExpirationDate(QDateTime(QDate(2031, 5, 17), QTime(8, 30), Qt::UTC));
    session.setPath(QStringLiteral("/"));
    session.setHttpOnly(true);
    QNetworkCookie prefs("sbx_prefs", QByteArray("\xd0\xbb\xd0\xb5\xd1\x82\xd0\xbe"));
    prefs.setExpirationDate(QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5), Qt::UTC));
    prefs.setPath(QStringLiteral("/"));
    return { session, prefs };
}

bool same(const QNetworkCookie &a, const QNetworkCookie &b)
{
    return a.name() == b.name() && a.value() == b.value() && a.expirationDate() == b.expirationDate()
        && a.path() == b.path() && a.isHttpOnly() == b.isHttpOnly() && a.isSecure() == b.isSecure();
}

int write()
{
    QSettings preferences(Settings::filepath(), Settings::format());
    preferences.setValue(QStringLiteral("fbtoken"), token);
    preferences.setValue(QStringLiteral("host/recentAlbums"), QStringList { "Trips", "Summer 2026" });
    preferences.setValue(QStringLiteral("host/zoom"), 1.5);
    preferences.sync();
    Network::CookieJar jar;
    jar.setCookiesFromUrl(expectedCookies(), site);
    jar.store();
    return preferences.status() == QSettings::NoError ? 0 : 1;
}

int read()
{
    int failures = 0;
    const auto check = [&failures](bool ok, const char *what) {
        if (!ok) {
            std::fprintf(stderr, "filecompat: %s not read back\n", what);
            ++failures;
        }
    };
    QSettings preferences(Settings::filepath(), Settings::format());
    check(preferences.value(QStringLiteral("fbtoken")).toString() == token, "the token");
    check(preferences.value(QStringLiteral("host/recentAlbums")).toStringList()
              == QStringList({ "Trips", "Summer 2026" }),
          "the host's album list");
    check(preferences.value(QStringLiteral("host/zoom")).toDouble() == 1.5, "the host's zoom");
    Network::CookieJar jar;
    QList<QNetworkCookie> cookies = jar.cookiesForUrl(site);
    const QList<QNetworkCookie> expected = expectedCookies();
    check(cookies.size() == expected.size(), "every cookie");
    for (const QNetworkCookie &cookie : expected)
        check(std::any_of(cookies.cbegin(), cookies.cend(), [&](const QNetworkCookie &c) { return same(c, cookie); }),
              cookie.name().constData());
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "read") != 0)) {
        std::fprintf(stderr, "usage: filecompat write|read DIR\n");
        return 2;
    }
    PrivateHome::use(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Velotri"));
    app.setApplicationName(QStringLiteral("Orvelle"));
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false")); // the jar's chatter
    const int status = std::strcmp(argv[1], "write") == 0 ? write() : read();
    std::printf("filecompat %s %s (Qt %s): %s\n", argv[1], argv[2], qVersion(), status == 0 ? "ok" : "FAILED");
    return status;
}
