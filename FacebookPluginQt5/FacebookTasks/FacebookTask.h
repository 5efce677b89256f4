#ifndef FACEBOOKTASK_H
#define FACEBOOKTASK_H

#include "network/ReplyTask.h"

#include <QByteArray>
#include <QPointer>
#include <QVariantMap>

class GraphClient;
class LoginFlow;

// A task that talks to the Graph API. Before its real request it checks,
// once, that the user granted the permission it needs ("/me/permissions"),
// and it reads every reply the same way:
//
//   2xx  -> the permission list, or the subclass's handleResult() (an
//           upload's counts only when it names the stored photo's id)
//   4xx/5xx with a Graph error object:
//        rate limited (4, 17): refused unprocessed          -> retry timer
//        transient (1, 2), nothing of the body out whole    -> retry timer
//        OAuthException 10, 102, 190, 200..299, 2500        -> login, then again
//        anything else                                      -> ServiceError
//   anything else (no status, 1xx, 3xx, an error page)     -> HttpFailure
//   (redirects are reported, never followed)
//   no status after the request's body went out whole      -> NoAnswer
//
// After the whole body went out, only the service's own 4xx refusal says it
// did not act on the request: codes 1 and 2, any 5xx, a page or status not
// the service's and silence end it with maybeActedOn set, never re-sent.
//
// The phases are ReplyTask::Phase (see its diagram). A reply is read as the
// request it was sent as: Checking while the permission check is out,
// Requesting while the real request is. What else holds:
//   listening    connected to the plug-in's authFinished(char), from auth()
//                (or a 'b') until the task's login ends or the task reports;
//                retry ticks are held while that login is open
//   'y'          the permission flag is cleared; counts as the task's one
//                login of this submit unless it was another scope's (after
//                'b'). A login-needed refusal after it ends the task with
//                the service's text, and a permission refusal marks the
//                scope declined, so the next login asks again
//                (auth_type=rerequest). A check still out is abandoned and
//                the real request sent, once.
//   'n'          LoginFailed -> Finished
//   'c'          LoginCanceled -> Canceled
//   'b'          retry timer armed; listening goes on to hear how it ends
//   the host deletes the task in a callback: nothing of it runs afterwards
//   the plug-in is destroyed: Canceled quietly; a later submit reports
//                PluginUnloaded
class FacebookTask : public Network::ReplyTask
{
    Q_OBJECT
public:
    // graph and login are the plug-in's: both go when it is unloaded.
    FacebookTask(GraphClient *graph, LoginFlow *login, ErrorCallback onError, RetryPolicy policy = RetryPolicy());
    FacebookTask(GraphClient *graph, LoginFlow *login, FailureCallback onFailure, RetryPolicy policy);

    void submit() override;
    void submitRequest() override;
    void replyFinished() override;

    // The one Graph permission the request needs; empty for none.
    virtual QByteArray permissions() = 0;
    // The top-level object of a successful reply to the real request.
    virtual void handleResult(const QVariantMap &result) = 0;

    void auth();

protected:
    GraphClient *graph() const { return m_graph; }
    // A rate limit (codes 4, 17, 32, 613 on a 4xx) ends the task as
    // RateLimited instead of arming the retry timer: for callers that wait
    // on the limit with all their requests at once.
    void reportRateLimits() { m_reportsRateLimits = true; }
    // Ends the task with an HttpFailure of the current reply: its status,
    // reason phrase and this error text.
    void reportHttpFailure(const QString &error);
    void outcomeDelivered() override;
    bool holdsRetries() const override;

private slots:
    void onAuthFinished(char code);

private:
    void handleGraphError(int status, const QByteArray &body);
    void handleSuccess(const QByteArray &body);
    void sendCheck();
    void stopListeningToLogins();

    // Not owned; guarded, since the host may unload the plug-in first.
    QPointer<GraphClient> m_graph;
    QPointer<LoginFlow> m_login;
    bool m_checkPermission = true;
    bool m_listening = false;    // connected to authFinished(char)
    bool m_loggedIn = false;     // a login of its own ended with 'y' since submit
    bool m_heardOtherScope = false; // the login it listens to is another scope's
    bool m_reportsRateLimits = false;
};

#endif // FACEBOOKTASK_H
