#include "ServiceLogout.h"

#include "BrowserLoginFlow.h"
#include "GraphClient.h"
#include "network/CookieJar.h"
#include "webview/LoginProfile.h"

ServiceLogout::ServiceLogout(GraphClient *graph, BrowserLoginFlow *login, const QList<QUrl> &sites, QObject *parent)
    : QObject(parent)
    , m_graph(graph)
    , m_login(login)
    , m_sites(sites)
    , m_browserCookies(sites)
{
}

void ServiceLogout::start(Done done)
{
    m_done = std::move(done);
    m_login->closeWindow(); // a login in it ends canceled
    QString error;
    if (!m_graph->forgetToken(&error))
        m_left << error;
    Network::CookieJar *jar = m_graph->cookieJar();
    if (jar && jar->removeSitesCookies(m_sites) > 0 && !jar->store())
        m_left << QStringLiteral("The cookies could not be removed from %1.").arg(Network::CookieJar::filePath());
    // That window's engine would write its cookies back over the removal.
    if (LoginProfile::isInUseElsewhere()) {
        m_left << QStringLiteral("The web browser's login cookies could not be removed: another Orvelle window "
                                 "has them open.");
        finish();
        return;
    }
    connect(&m_browserCookies, &ProfileCookieCleaner::finished, this, [this](bool ok) {
        if (!ok)
            m_left << QStringLiteral("The web browser's login cookies could not be removed.");
        finish();
    });
    m_browserCookies.start();
}

// From the event loop, so never before logOut() has returned.
void ServiceLogout::finish()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            const Done done = std::move(m_done);
            const QString left = m_left.join(QLatin1Char(' '));
            deleteLater();
            done(left);
        },
        Qt::QueuedConnection);
}
