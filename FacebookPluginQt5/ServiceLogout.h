#ifndef SERVICELOGOUT_H
#define SERVICELOGOUT_H

#include "webview/ProfileCookieCleaner.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>

class BrowserLoginFlow;
class GraphClient;

// One logout (IServiceAccount::logOut), each step handed to whoever owns the
// thing: the login flow closes its window, the Graph client forgets the
// token, the host's jar and the web profile's store forget the service's
// cookies. A step that fails adds its sentence and the others still run.
// It deletes itself once done has run.
class ServiceLogout : public QObject
{
    Q_OBJECT
public:
    using Done = std::function<void(const QString &error)>;

    // sites: the service's addresses (the Graph API's and the dialogs').
    ServiceLogout(GraphClient *graph, BrowserLoginFlow *login, const QList<QUrl> &sites, QObject *parent);

    void start(Done done);

private:
    void finish();

    GraphClient *const m_graph; // siblings: they belong to the plug-in
    BrowserLoginFlow *const m_login;
    const QList<QUrl> m_sites;
    ProfileCookieCleaner m_browserCookies;
    Done m_done;
    QStringList m_left;
};

#endif // SERVICELOGOUT_H
