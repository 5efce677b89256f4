#include "ProfileCookieCleaner.h"

#include "BrowserWindow.h"
#include "LoginProfile.h"
#include "network/SiteCookies.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {
constexpr int giveUpMs = 15000;
}

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
    const QList<QNetworkCookie> cookies = LoginProfile::storeCookies();
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
