#ifndef FACEBOOKTASK_H
#define FACEBOOKTASK_H

#include "network/ReplyTask.h"

#include <QByteArray>
#include <QVariantMap>

class FacebookPlugin;

// A task that talks to the Graph API. Before its real request it checks,
// once, that the user granted the permission it needs ("/me/permissions"),
// and it reads every reply the same way:
//
//   2xx  -> the permission list, or the subclass's handleResult()
//   4xx/5xx with a Graph error object:
//        transient (1, 2, 4, 17)                          -> retry timer
//        OAuthException 10, 102, 190, 200..299, 2500      -> login, then again
//        anything else                                    -> "Facebook API error: ..."
//   anything else (no status, 1xx, 3xx, an error page)   -> "Http #<status>..."
//
// Login outcomes: 'y' sends again without a second permission check, 'n'
// fails, 'c' (window closed) cancels, 'b' (another login runs) retries later.
class FacebookTask : public Network::ReplyTask
{
    Q_OBJECT
public:
    FacebookTask(FacebookPlugin *plugin, ErrorCallback onError);

    void submitRequest() override;
    void replyFinished() override;

    // The one Graph permission the request needs; empty for none.
    virtual QByteArray permissions() = 0;
    // The top-level object of a successful reply to the real request.
    virtual void handleResult(const QVariantMap &result) = 0;

    void auth();

protected:
    FacebookTask(FacebookPlugin *plugin, ErrorCallback onError, RetryPolicy policy);

    FacebookPlugin *plugin() const { return m_plugin; }
    void outcomeDelivered() override;

private slots:
    void onAuthFinished(char code);

private:
    void handleGraphError(const QByteArray &body);
    void handleSuccess(const QByteArray &body);
    void reportTransportError(int status);
    void stopListeningToLogins();

    FacebookPlugin *m_plugin; // not owned
    bool m_checkPermission = true;
};

#endif // FACEBOOKTASK_H
