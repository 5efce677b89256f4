#include "WebEngineCookieCleaner.h"

#include "webview/LoginProfile.h"

#include <QRandomGenerator>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>

namespace {
constexpr int giveUpMs = 15000;
}

WebEngineCookieCleaner::WebEngineCookieCleaner(QList<QUrl> sites, QObject *parent)
    : QObject(parent)
    , m_sites(std::move(sites))
{
    m_giveUp.setSingleShot(true);
    m_giveUp.setInterval(giveUpMs);
    connect(&m_giveUp, &QTimer::timeout, this, [this] { finish(false); });
}

WebEngineCookieCleaner::~WebEngineCookieCleaner() = default;

void WebEngineCookieCleaner::start()
{
    if (m_sites.isEmpty())
        return finish(true);
    m_giveUp.start();
    QWebEngineProfile *profile = LoginProfile::profile();
    m_store = profile->cookieStore();
    connect(m_store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie &cookie) {
        if (!m_listing)
            return;
        if (isMarker(cookie))
            removeListed();
        else if (isSitesCookie(cookie) && !m_doomed.contains(cookie))
            m_doomed.append(cookie);
    });
    connect(m_store, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie &cookie) {
        if (m_removing && isMarker(cookie))
            finish(true);
    });
    m_page = std::make_unique<QWebEnginePage>(profile);
    connect(m_page.get(), &QWebEnginePage::loadFinished, this, &WebEngineCookieCleaner::listCookies);
    m_page->setHtml(QString()); // no network: only to connect the store
}

void WebEngineCookieCleaner::listCookies()
{
    if (m_listing || m_removing)
        return;
    m_listing = true;
    m_marker = QNetworkCookie("orvelle_logout_" + QByteArray::number(QRandomGenerator::global()->generate64(), 16), "1");
    m_store->loadAllCookies();
    m_store->setCookie(m_marker, m_sites.first());
}

void WebEngineCookieCleaner::removeListed()
{
    m_listing = false;
    m_removing = true;
    for (const QNetworkCookie &cookie : qAsConst(m_doomed))
        m_store->deleteCookie(cookie);
    m_store->deleteCookie(m_marker, m_sites.first());
}

bool WebEngineCookieCleaner::isMarker(const QNetworkCookie &cookie) const
{
    return cookie.name() == m_marker.name();
}

bool WebEngineCookieCleaner::isSitesCookie(const QNetworkCookie &cookie) const
{
    // "example.com" and ".example.com" both cover www.example.com.
    const QString domain = cookie.domain().startsWith(QLatin1Char('.')) ? cookie.domain().mid(1) : cookie.domain();
    return std::any_of(m_sites.cbegin(), m_sites.cend(), [&domain](const QUrl &site) {
        const QString host = site.host();
        return host == domain || host.endsWith(QLatin1Char('.') + domain);
    });
}

void WebEngineCookieCleaner::finish(bool ok)
{
    m_giveUp.stop();
    m_listing = m_removing = false;
    if (m_store)
        disconnect(m_store, nullptr, this, nullptr);
    m_store = nullptr;
    // The page is done with; the profile must outlive every page it has.
    if (m_page)
        m_page.release()->deleteLater();
    emit finished(ok, ok ? m_doomed.size() : 0);
}
