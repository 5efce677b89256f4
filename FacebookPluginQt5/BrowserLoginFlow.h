#ifndef BROWSERLOGINFLOW_H
#define BROWSERLOGINFLOW_H

#include "LoginFlow.h"

#include <QMap>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <functional>

class GraphClient;
class VlWebView;

// The service's dialogs in the one shared browser window: the login
// (implicit grant; the token goes to the Graph client's store) and the feed
// dialog. Every close of the window stores the host's cookie jar and raises
// the host's window; a close during a login is 'c'.
class BrowserLoginFlow : public LoginFlow
{
    Q_OBJECT
public:
    struct Service
    {
        QByteArray dialogOrigin;
        QString appId;
        QString productPage;
        QString productSiteName;
        QString productSiteUrl;
    };

    BrowserLoginFlow(GraphClient *graph, const Service &service, QObject *parent = nullptr);
    // A window still open goes quietly: no outcome code, no callback.
    ~BrowserLoginFlow() override;

    void setParentWidget(QWidget *widget) { m_parentWidget = widget; }
    // The feed dialog; callback runs once the user has shared. Dropped while
    // a login owns the window.
    void tellFriends(const QMap<QString, QString> &parameters, std::function<void()> callback);

    bool isRedirectUrl(const QUrl &url) const;
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Closes the window if open, as the user's close would: a login in it
    // ends 'c', the jar is stored, the host's window raised.
    void closeWindow();

protected:
    void open(const QString &scope, bool rerequest) override;

public slots:
    // What the window reports: its addresses, and the end of each load.
    void shouldFinishAuth(QUrl url);
    void shouldFinishTellFriends(QUrl url);
    void onLoadPageFinished(bool);

private:
    VlWebView *browserWindow();
    void storeCookies();

    GraphClient *const m_graph; // a sibling: both belong to the plug-in
    const Service m_service;
    const QString m_redirectUrl;
    QPointer<QWidget> m_parentWidget;
    QPointer<VlWebView> m_browser;
    QString m_loginState; // of the running login; empty when none runs
    std::function<void()> m_feedCallback;
};

#endif // BROWSERLOGINFLOW_H
