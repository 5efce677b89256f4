#include "BrowserLoginFlow.h"

#include "GraphClient.h"
#include "network/CookieJar.h"
#include "utils/Logging.h"
#include "utils/SecretMask.h"
#include "webview/VlWebView.h"

#include <QDebug>
#include <QEvent>
#include <QRandomGenerator>
#include <QUrlQuery>

namespace {

// 128 bits from the system's cryptographic source, as URL-safe text.
QString newLoginState()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

} // namespace

BrowserLoginFlow::BrowserLoginFlow(GraphClient *graph, const Service &service, QObject *parent)
    : LoginFlow(parent)
    , m_graph(graph)
    , m_service(service)
    , m_redirectUrl(QString::fromUtf8(service.dialogOrigin) + QStringLiteral("/connect/login_success.html"))
{
}

BrowserLoginFlow::~BrowserLoginFlow()
{
    if (m_browser) {
        m_browser->removeEventFilter(this);
        disconnect(m_browser, nullptr, this, nullptr);
        delete m_browser.data();
    }
}

void BrowserLoginFlow::open(const QString &scope, bool rerequest)
{
    VlWebView *browser = browserWindow();
    // The service hands "state" back with the token; a redirect without this
    // login's own value was not started by us (login forgery) and is refused.
    m_loginState = newLoginState();
    const QString address = QString::fromUtf8(m_service.dialogOrigin) + "/dialog/oauth?client_id=" + m_service.appId
        + "&redirect_uri=" + m_redirectUrl + "&scope=" + scope + "&response_type=token&state=" + m_loginState
        + (rerequest ? QStringLiteral("&auth_type=rerequest") : QString());
    connect(browser, SIGNAL(urlHasChanged(QUrl)), this, SLOT(shouldFinishAuth(QUrl)));
    connect(browser, SIGNAL(loadHasFinished(bool)), this, SLOT(onLoadPageFinished(bool)));
    browser->load(QUrl(address, QUrl::TolerantMode));
    browser->show();
}

void BrowserLoginFlow::tellFriends(const QMap<QString, QString> &parameters, std::function<void()> callback)
{
    if (isAuthorising())
        return; // the login owns the window; this post is dropped
    m_feedCallback = std::move(callback);
    VlWebView *browser = browserWindow();

    // The host's texts are percent-encoded, so '&', '#', '+' or '%' in a
    // caption arrive as written instead of adding or cutting parameters.
    const auto value = [&parameters](const char *key) {
        return QString::fromLatin1(QUrl::toPercentEncoding(parameters.value(QLatin1String(key))));
    };
    const QString address = QString::fromUtf8(m_service.dialogOrigin) + "/dialog/feed?app_id=" + m_service.appId
        + "&link=" + m_service.productPage + "&picture=" + value("picture") + "&name=" + value("name")
        + "&caption=" + value("caption") + "&properties={\"More\":{text:\"" + m_service.productSiteName
        + "\",\"href\":\"" + m_service.productSiteUrl + "\"}}&description=" + value("description")
        + "&redirect_uri=" + m_redirectUrl;
    connect(browser, SIGNAL(urlHasChanged(QUrl)), this, SLOT(shouldFinishTellFriends(QUrl)));
    browser->load(QUrl(address, QUrl::TolerantMode));
    browser->show();
}

bool BrowserLoginFlow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_browser || event->type() != QEvent::Close)
        return false;
    m_loginState.clear();
    finish('c'); // nothing when no login runs
    storeCookies();
    if (m_parentWidget) {
        m_parentWidget->raise();
        m_parentWidget->activateWindow();
    }
    return false;
}

// The jar is the host's; a jar of another kind is left alone.
void BrowserLoginFlow::storeCookies()
{
    if (Network::CookieJar *jar = m_graph->cookieJar())
        jar->store();
}

VlWebView *BrowserLoginFlow::browserWindow()
{
    if (m_browser) {
        // Taken over from the dialog that had it.
        disconnect(m_browser, nullptr, this, nullptr);
        return m_browser;
    }
    m_browser = new VlWebView(nullptr);
    m_browser->installEventFilter(this);
    return m_browser;
}

void BrowserLoginFlow::closeWindow()
{
    if (m_browser)
        m_browser->close();
}

bool BrowserLoginFlow::isRedirectUrl(const QUrl &url) const
{
    return url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::StripTrailingSlash) == m_redirectUrl;
}

void BrowserLoginFlow::shouldFinishAuth(QUrl url)
{
    if (!isRedirectUrl(url))
        return; // a step of the login: a form, a consent page, a redirect
    char outcome = 'n';
    if (url.hasFragment()) {
        // The service sends the token after '#' (implicit grant); read that
        // part itself, so a query before it cannot swallow the token.
        const QUrlQuery items(url.fragment(QUrl::FullyEncoded));
        const QString token = items.queryItemValue(QStringLiteral("access_token"));
        SecretMask::remember(token);
        if (token.isEmpty())
            qDebug() << "Auth ui error:" << SecretMask::masked(url.toString());
        else if (m_loginState.isEmpty() || items.queryItemValue(QStringLiteral("state")) != m_loginState)
            qCWarning(lcLogin) << "Auth ui error: the login state does not match";
        else if (m_graph->storeLoginToken(token))
            outcome = 'y';
    }
    m_loginState.clear(); // one redirect per login
    // Receivers run with the login over and the window still open; closing
    // it afterwards therefore sends no 'c'.
    finish(outcome);
    closeWindow();
}

void BrowserLoginFlow::shouldFinishTellFriends(QUrl url)
{
    if (!isRedirectUrl(url))
        return;
    closeWindow();
    if (QUrlQuery(url).hasQueryItem(QStringLiteral("post_id"))) {
        // A copy: the host may start another feed dialog from its callback.
        const std::function<void()> callback = m_feedCallback;
        if (callback)
            callback();
    }
}

void BrowserLoginFlow::onLoadPageFinished(bool)
{
    if (m_browser && m_browser->isHidden() && !isRedirectUrl(m_browser->url()))
        m_browser->show();
}
