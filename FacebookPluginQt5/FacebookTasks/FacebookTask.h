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
//        transient (1, 2, 4, 17)                          -> retry timer
//        OAuthException 10, 102, 190, 200..299, 2500      -> login, then again
//        anything else                                    -> "Facebook API error: ..."
//   anything else (no status, 1xx, 3xx, an error page)   -> "Http #<status>..."
//   (redirects are reported, never followed)
//   no status after the request's body went out whole    -> ReplyTask::noAnswerMessage()
//
// A reply is read as the answer to the request it was sent as: the kind of
// the request (check or real) is recorded when it is sent, never inferred
// later from the permission flag.
//
// Life cycle. "Out" is a request in flight; "listening" means connected to
// the plug-in's authFinished(char), from auth() (or a 'b') until the task's
// login ends or the task reports.
//
//   state          what holds
//   Idle           constructed, or canceled (host, 'c', plug-in destroyed)
//   Checking       "/me/permissions" out
//   Requesting     the real request out (or a further album page)
//   Retrying       retry timer armed after a transient error, nothing out
//   InLogin        listening, nothing out: its own login, or another
//                  scope's after 'b'; retry ticks are held while it is open
//   Finished       the host has its one callback; deaf until submit
//
//   event                  effect
//   submit                 any -> abort what is out, timer stopped; Checking
//                          (permission unconfirmed) or Requesting. Listening,
//                          if it was, goes on: the login still concerns it.
//   retry()                sends the current phase unless something is out or
//                          the task has reported
//   tick                   InLogin, login open: nothing, not counted.
//                          Out: counted only (never two requests at once).
//                          Otherwise counted and the current phase sent again.
//                          The tick after the last re-send: a request still
//                          sending its body or receiving its answer decides
//                          (what would arm the timer then times out);
//                          otherwise anything out is aborted and "Request
//                          timed out", or the no-answer text for a body that
//                          went out whole -> Finished
//   stall                  nothing moved for stallMsecs: dropped, timer armed.
//                          After the body went out whole: answerMsecs of
//                          silence, then the no-answer text -> Finished
//   body out, no answer    connection closed (the network stack may not send
//                          it again) -> the no-answer text -> Finished
//   current reply          Checking: granted -> Requesting; not -> auth()
//                          Requesting: the decision tree above
//   older reply            deleted unread (replaced by a retry, abandoned on
//                          'y', or out when the task reported or was canceled)
//   'y'                    flag cleared, listening ends; counts as the task's
//                          one login of this submit unless it was another
//                          scope's (after 'b'). A login-needed refusal after
//                          it ends the task with the service's text, and a
//                          permission refusal marks the scope declined, so
//                          the next login asks again (auth_type=rerequest).
//                          Checking: the check
//                          is abandoned and the real request sent, once.
//                          Requesting: its answer decides. Otherwise the real
//                          request is sent -> Requesting
//   'n'                    "Authorisation failed" -> Finished
//   'c'                    canceled, "Authorisation canceled" -> Idle
//   'b'                    retry timer armed; ticks held while the login is
//                          open; listening goes on to hear how it ends
//   cancel                 abort, timer stopped, no callback -> Idle; login
//                          codes ignored until submit
//   host deletes the task  allowed inside its own callback: nothing of the
//   in a callback          task runs after a callback returns
//   plug-in destroyed      -> Idle quietly (nothing of it is touched again);
//                          a later submit reports "Facebook plug-in unloaded"
class FacebookTask : public Network::ReplyTask
{
    Q_OBJECT
public:
    // graph and login are the plug-in's: both go when it is unloaded.
    FacebookTask(GraphClient *graph, LoginFlow *login, ErrorCallback onError, RetryPolicy policy = RetryPolicy());

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
    // Ends the task with the "Http #<status>(<reason>)<br>Error: <error>"
    // text of the current reply.
    void reportHttpFailure(const QString &error);
    void outcomeDelivered() override;
    bool holdsRetries() const override;

private slots:
    void onAuthFinished(char code);

private:
    void handleGraphError(const QByteArray &body);
    void handleSuccess(const QByteArray &body);
    void sendCheck();
    void stopListeningToLogins();

    // Not owned; guarded, since the host may unload the plug-in first.
    QPointer<GraphClient> m_graph;
    QPointer<LoginFlow> m_login;
    bool m_checkPermission = true;
    bool m_replyIsCheck = false; // what the current reply answers
    bool m_listening = false;    // connected to authFinished(char)
    bool m_loggedIn = false;     // a login of its own ended with 'y' since submit
    bool m_heardOtherScope = false; // the login it listens to is another scope's
};

#endif // FACEBOOKTASK_H
