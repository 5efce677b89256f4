#ifndef NETWORK_REPLYTASK_H
#define NETWORK_REPLYTASK_H

#include "utils/ITask.h"
#include "utils/TaskFailure.h"

#include <QBasicTimer>
#include <QPointer>

#include <functional>

class QNetworkReply;

namespace Network {

// A task whose work is one network reply at a time, with a retry timer.
//
// Subclasses send the request in reply() and read the answer in
// replyFinished(). They end every attempt that reaches a result through
// finishWithError() or finishWithSuccess(): both stop the retry timer, so
// nothing is re-sent after the host has heard the outcome, until the host
// calls submit() again.
//
// Where the task stands is one value, its Phase, changed only by setPhase():
//
//   from                 event                                 to
//   Idle                 submit, the permission unconfirmed    Checking
//   Idle                 submit, nothing to check              Requesting
//   Checking             granted, or a login ended 'y'         Requesting
//   Checking/Requesting  a retry asked for (transient error,   Retrying
//                        a stall, login busy 'b')
//   Retrying             tick                                  the phase it retries
//   Checking/Requesting  a login needed                        InLogin
//   InLogin              'y'                                   Requesting
//   InLogin              'b'                                   Retrying
//   any                  cancel(), login window closed 'c'     Canceled
//   any                  a result or a failure told the host   Finished
//
// Retry timer: armRetryTimer() from the stopped state allows attemptLimit
// re-sends, one per interval; the tick after that reports "Request timed out".
// Re-arming a running timer postpones its next tick without resetting the
// count. A tick that comes while a request is still out only counts. Each
// kind of request has its own clock: the first real request after a
// permission check starts with the timer stopped, so the check's retries
// never shorten the time the real request has.
//
// A request that moves no byte, up or down, for stallMsecs is dropped and
// counts as a transient failure (the retry timer is armed); a reply body
// larger than maxReplyBytes is refused. Deleting the task aborts its request.
//
// At most once: a request whose body has gone out whole may have been acted
// on (a photo stored) even when no answer comes back, so it is never sent
// again by the task. Without an answer (the connection closed, or
// answerMsecs of silence, or silence at the retry timer's last tick) the
// task ends with TaskFailure::NoAnswer. Only an answer of the service that
// says the request was refused before it was processed may have it sent
// again (subclasses decide).
//
// The retry timer never cuts a request whose bytes are moving (its body
// partly out, or its answer arriving since the previous tick): at the
// timer's last tick such a request decides the outcome itself (bounded by
// the stall watchdog), and whatever would have armed the timer again
// reports "Request timed out" instead.
class ReplyTask : public ITask
{
    Q_OBJECT
public:
    using ErrorCallback = std::function<void(QString const &)>;
    using FailureCallback = std::function<void(const TaskFailure &)>;

    enum class Phase {
        Idle,       // constructed, or submitted and about to send
        Checking,   // the permission check is out
        Requesting, // the real request is out (or a further page of it)
        Retrying,   // the retry timer runs and nothing is out
        InLogin,    // waiting for a login, nothing out
        Finished,   // the host has its one callback; deaf until submit
        Canceled,   // by the host, a closed login or the plug-in's end
    };

    struct RetryPolicy
    {
        int intervalMsecs = 5000;
        int attemptLimit = 10;
        int stallMsecs = 30000;
        // Silence allowed once the body went out whole: the service may be
        // processing a large photo.
        int answerMsecs = 120000;
    };

    static constexpr qint64 maxReplyBytes = 32 * 1024 * 1024;

    // What a host hears when a request's body went out whole and no answer
    // came back: the service may have acted on it.
    static QString noAnswerMessage() { return TaskFailure(TaskFailure::Kind::NoAnswer).text(); }

    ~ReplyTask() override;

    void cancel() override;
    bool isCanceled() const override;
    void submit() override;

    virtual void submitRequest();
    virtual QNetworkReply *reply() = 0;
    virtual void replyFinished() = 0;

    // Sends again, unless a request is still out: its answer decides, and a
    // second copy of it (an upload) must never be sent beside it.
    void retry();
    void setReply(QNetworkReply *reply);

    // True while a request is out or the retry timer runs: the task may still
    // call back. False once it has reported, was canceled, or never started.
    bool isWorking() const;

    Phase phase() const { return m_phase; }
    // Told every change of phase, as it happens (tests, diagnostics).
    void watchPhases(std::function<void(Phase)> watcher) { m_phaseWatcher = std::move(watcher); }

protected:
    explicit ReplyTask(ErrorCallback onError);
    // Lets tests run the retry timer fast.
    ReplyTask(ErrorCallback onError, RetryPolicy policy);
    // A host that takes failures as data.
    ReplyTask(FailureCallback onFailure, RetryPolicy policy);

    void timerEvent(QTimerEvent *event) override;

    void setPhase(Phase phase);

    // The reply whose completion is being handled; null once it is gone.
    QNetworkReply *currentReply() const;
    bool hasOutcome() const { return m_phase == Phase::Finished; }
    bool isRetryTimerActive() const { return m_retryTimer.isActive(); }
    int retryInterval() const { return m_retryInterval; }

    void armRetryTimer();
    void finishWithError(const TaskFailure &failure);
    void finishWithSuccess(const std::function<void()> &notifyHost);

    // Called once when the task has delivered its outcome; subclasses drop
    // whatever they still listen to here.
    virtual void outcomeDelivered() { }

    bool hasRequestInFlight() const;
    // The current request's body has gone out whole: it must not be sent again.
    bool bodySentWhole() const { return m_bodySent; }
    // Lets go of the current reply without reading it: it is aborted and its
    // completion never reaches replyFinished().
    void abandonReply();

    // While this is true, retry ticks neither count toward the time-out nor
    // send anything (the task waits for something that has no deadline of
    // ours, such as a login the user is typing into).
    virtual bool holdsRetries() const { return false; }

private slots:
    void onReplayFinished(); // sic: the slot's name is fixed by the contract

private:
    // Where the current request stands on the wire.
    enum class Exchange {
        Quiet,     // handed to the network; nothing of its body out, no answer yet
        Sending,   // part of its body out
        Sent,      // its whole body out, no answer yet
        Answering, // the answer has begun
    };

    void concludeAttempt();
    void watchForStall();
    void onBytesSent(qint64 sent, qint64 total);
    void onBytesReceived(qint64 received, qint64);
    void onAnswerBegun();
    void endUnanswered();
    void stopRetryClock();

    // Guarded: the manager owns the reply and may delete it before us.
    QPointer<QNetworkReply> m_reply;
    Phase m_phase = Phase::Idle;
    Phase m_lastSent = Phase::Idle; // the kind of request sent last since submit
    std::function<void(Phase)> m_phaseWatcher;
    int m_attempt = -1;
    const int m_attemptLimit;
    const int m_retryInterval;
    const int m_stallInterval;
    const int m_answerInterval;
    QBasicTimer m_retryTimer;
    QBasicTimer m_stallTimer; // restarted by every byte the current reply moves
    FailureCallback m_onFailure;
    Exchange m_exchange = Exchange::Quiet;
    bool m_bodySent = false;     // the current request's body went out whole: never again
    bool m_answerMoved = false;  // bytes of the answer arrived since the last retry tick
    bool m_pastLastTick = false; // the time-out is due: what would retry times out instead
};

} // namespace Network

#endif // NETWORK_REPLYTASK_H
