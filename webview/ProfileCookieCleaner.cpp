#include "ProfileCookieCleaner.h"

#include "BrowserWindow.h"
#include "LoginProfile.h"
#include "network/SiteCookies.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <sqlite3.h>

#include <memory>

namespace {

constexpr int giveUpMs = 15000;

// The sites' cookies in the engine's cookie file, as the engine names them
// (name, host or domain, path, secure), without their values. Empty when
// the file cannot be read: Qt 5's engine keeps it locked while it runs, and
// names the cookies it loads itself.
QList<QNetworkCookie> sitesCookiesOnDisk(const QString &path, const QList<QUrl> &sites)
{
    QList<QNetworkCookie> cookies;
    sqlite3 *raw = nullptr;
    const int opened = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(raw, sqlite3_close);
    sqlite3_stmt *rawStatement = nullptr;
    if (opened != SQLITE_OK
        || sqlite3_prepare_v2(db.get(), "SELECT name, host_key, path, is_secure FROM cookies", -1, &rawStatement, nullptr)
            != SQLITE_OK)
        return cookies;
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> statement(rawStatement, sqlite3_finalize);
    const auto text = [&statement](int column) {
        return QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), column)));
    };
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        QNetworkCookie cookie(text(0));
        cookie.setDomain(QString::fromUtf8(text(1)));
        cookie.setPath(QString::fromUtf8(text(2)));
        cookie.setSecure(sqlite3_column_int(statement.get(), 3) != 0);
        if (Network::isSitesCookie(cookie, sites))
            cookies.append(cookie);
    }
    return cookies;
}

} // namespace

ProfileCookieCleaner::ProfileCookieCleaner(QList<QUrl> sites, QObject *parent)
    : QObject(parent)
    , m_sites(std::move(sites))
{
    m_giveUp.setSingleShot(true);
    m_giveUp.setInterval(giveUpMs);
    connect(&m_giveUp, &QTimer::timeout, this, [this] { finish(false); });
}

ProfileCookieCleaner::~ProfileCookieCleaner()
{
    if (m_window)
        m_window->dispose();
}

void ProfileCookieCleaner::start()
{
    if (m_sites.isEmpty() || (!LoginProfile::openProfile() && !QFileInfo::exists(LoginProfile::cookieFilePath())))
        return finish(true);
    m_onDisk = sitesCookiesOnDisk(LoginProfile::cookieFilePath(), m_sites);
    m_giveUp.start();
    m_window = new BrowserWindow;
    m_store = m_window->view()->page()->profile()->cookieStore();
    connect(m_store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie &cookie) {
        if (m_listing && isMarker(cookie))
            removeListed();
    });
    connect(m_store, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie &cookie) {
        if (m_removing && isMarker(cookie))
            finish(true);
    });
    connect(m_window, &BrowserWindow::loadFinished, this, &ProfileCookieCleaner::listCookies);
    m_window->view()->setHtml(QString()); // no network: only to connect the store
}

// Loads the store if this process has not yet (its cookies are announced to
// LoginProfile's list as they load), then sets the marker behind that.
void ProfileCookieCleaner::listCookies()
{
    if (m_listing || m_removing || !m_store)
        return;
    m_listing = true;
    m_marker = QNetworkCookie("orvelle_logout_" + QByteArray::number(QRandomGenerator::global()->generate64(), 16), "1");
    m_store->loadAllCookies();
    m_store->setCookie(m_marker, m_sites.first());
}

void ProfileCookieCleaner::removeListed()
{
    m_listing = false;
    m_removing = true;
    const QList<QNetworkCookie> cookies = LoginProfile::storeCookies() + m_onDisk;
    for (const QNetworkCookie &cookie : cookies) {
        if (Network::isSitesCookie(cookie, m_sites) && !isMarker(cookie))
            m_store->deleteCookie(cookie);
    }
    m_store->deleteCookie(m_marker, m_sites.first());
}

bool ProfileCookieCleaner::isMarker(const QNetworkCookie &cookie) const
{
    return cookie.name() == m_marker.name();
}

void ProfileCookieCleaner::finish(bool ok)
{
    m_giveUp.stop();
    m_listing = m_removing = false;
    if (m_store)
        disconnect(m_store, nullptr, this, nullptr);
    m_store = nullptr;
    if (m_window)
        m_window->dispose(); // from the event loop: the engine may be inside a signal
    emit finished(ok);
}
