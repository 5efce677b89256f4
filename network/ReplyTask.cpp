#include "ReplyTask.h"

#include "utils/Logging.h"
#include "utils/SecretMask.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkReply>
#include <QTimerEvent>

namespace Network {

namespace {

const char *phaseName(ReplyTask::Phase phase)
{
    switch (phase) {
    case ReplyTask::Phase::Idle:
        return "idle";
    case ReplyTask::Phase::Checking:
        return "checking";
    case ReplyTask::Phase::Requesting:
        return "requesting";
    case ReplyTask::Phase::Retrying:
        return "retrying";
    case ReplyTask::Phase::InLogin:
        return "in login";
    case ReplyTask::Phase::Finished:
        return "finished";
    case ReplyTask::Phase::Canceled:
        break;
    }
    return "canceled";
}

} // namespace

ReplyTask::ReplyTask(ErrorCallback onError)
    : ReplyTask(std::move(onError), RetryPolicy())
{
}

// Hosts of the photo upload interface hear the text, built here, at the edge.
ReplyTask::ReplyTask(ErrorCallback onError, RetryPolicy policy)
    : ReplyTask(FailureCallback(onError ? [onError](const TaskFailure &failure) { onError(failure.text()); }
                                        : FailureCallback()),
                policy)
{
}

ReplyTask::ReplyTask(FailureCallback onFailure, RetryPolicy policy)
    : m_attemptLimit(policy.attemptLimit)
    , m_retryInterval(policy.intervalMsecs)
    , m_stallInterval(policy.stallMsecs)
    , m_answerInterval(policy.answerMsecs)
    , m_onFailure(std::move(onFailure))
{
}

// A host that deletes a task (its user pressed Cancel) must not see the
// photo published all the same.
ReplyTask::~ReplyTask()
{
    if (hasRequestInFlight())
        abandonReply();
}

void ReplyTask::setPhase(Phase phase)
{
    if (phase == Phase::Checking || phase == Phase::Requesting) {
        // A new kind of request starts on a clock of its own.
        if (m_lastSent != Phase::Idle && m_lastSent != phase)
            stopRetryClock();
        m_lastSent = phase;
    }
    if (phase == m_phase)
        return;
    qCDebug(lcTask) << this << phaseName(m_phase) << "->" << phaseName(phase);
    m_phase = phase;
    if (m_phaseWatcher)
        m_phaseWatcher(phase);
}

void ReplyTask::stopRetryClock()
{
    m_retryTimer.stop();
    m_pastLastTick = false;
}

void ReplyTask::cancel()
{
    setPhase(Phase::Canceled);
    m_retryTimer.stop();
    m_stallTimer.stop();
    // abort() may deliver finished() right here; the phase set above makes
    // onReplayFinished() only dispose of the reply.
    if (m_reply)
        m_reply->abort();
}

bool ReplyTask::isCanceled() const
{
    return m_phase == Phase::Canceled;
}

void ReplyTask::submit()
{
    cancel();
    QCoreApplication::sendPostedEvents(this, 0);
    m_pastLastTick = false;
    m_lastSent = Phase::Idle;
    setPhase(Phase::Idle);
    submitRequest();
}

void ReplyTask::submitRequest()
{
    setPhase(Phase::Requesting);
    // reply() may report a local failure, and the host may delete the task
    // inside that callback.
    const QPointer<ReplyTask> alive(this);
    QNetworkReply *sent = reply();
    // A host may also have submitted the task again inside that callback:
    // the request that sent is the current one then.
    if (alive && (sent || !hasRequestInFlight()))
        setReply(sent);
}

QNetworkReply *ReplyTask::currentReply() const
{
    return m_reply;
}

void ReplyTask::retry()
{
    if (m_phase == Phase::Finished || hasRequestInFlight())
        return;
    submitRequest();
}

void ReplyTask::setReply(QNetworkReply *reply)
{
    m_reply = reply;
    if (!m_reply) {
        qDebug() << "Faild to submit request";
        if (m_phase == Phase::Checking || m_phase == Phase::Requesting)
            setPhase(m_retryTimer.isActive() ? Phase::Retrying : Phase::Idle);
        return;
    }
    m_exchange = Exchange::Quiet;
    m_bodySent = false;
    m_answerMoved = false;
    connect(m_reply, SIGNAL(finished()), this, SLOT(onReplayFinished()));
    connect(m_reply, &QNetworkReply::uploadProgress, this, &ReplyTask::onBytesSent);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &ReplyTask::onAnswerBegun);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &ReplyTask::onBytesReceived);
    watchForStall();
}

void ReplyTask::watchForStall()
{
    m_stallTimer.start(m_bodySent ? m_answerInterval : m_stallInterval, this);
}

void ReplyTask::onBytesSent(qint64 sent, qint64 total)
{
    if (sender() != m_reply || !hasRequestInFlight())
        return;
    if (total > 0 && sent == total) {
        m_bodySent = true; // from here on the service may have it
        if (m_exchange != Exchange::Answering)
            m_exchange = Exchange::Sent;
    } else if (sent > 0 && m_exchange == Exchange::Quiet) {
        m_exchange = Exchange::Sending;
    }
    watchForStall();
}

void ReplyTask::onAnswerBegun()
{
    if (sender() != m_reply || !hasRequestInFlight())
        return;
    m_exchange = Exchange::Answering;
    m_answerMoved = true;
}

// A reply body without end would otherwise grow until the process dies.
void ReplyTask::onBytesReceived(qint64 received, qint64)
{
    if (sender() != m_reply || !hasRequestInFlight())
        return;
    m_answerMoved = true;
    watchForStall();
    if (received <= maxReplyBytes || m_phase == Phase::Finished || isCanceled())
        return;
    qCWarning(lcTask) << "Reply larger than" << maxReplyBytes << "bytes refused";
    TaskFailure failure(TaskFailure::Kind::HttpFailure,
                        QStringLiteral("the reply is larger than %1 MB").arg(maxReplyBytes / (1024 * 1024)));
    failure.status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    failure.maybeActedOn = m_bodySent;
    finishWithError(failure);
}

void ReplyTask::onReplayFinished()
{
    auto *finished = qobject_cast<QNetworkReply *>(sender());
    // A reply that a retry has replaced, or that ended after the outcome was
    // reported, must not be read as if it were the answer to the current
    // attempt.
    if (finished && finished != m_reply) {
        finished->deleteLater();
        return;
    }
    m_stallTimer.stop();
    if (isCanceled() || m_phase == Phase::Finished) {
        if (m_reply)
            m_reply->deleteLater();
        return;
    }
    // The connection ended without a status line after the whole body went
    // out (the network stack may not send it again: see SinglePassFile).
    if (m_bodySent && m_reply && !m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        m_reply->deleteLater();
        finishWithError(TaskFailure(TaskFailure::Kind::NoAnswer));
        return;
    }
    replyFinished();
}

void ReplyTask::endUnanswered()
{
    abandonReply();
    finishWithError(TaskFailure(TaskFailure::Kind::NoAnswer));
}

void ReplyTask::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_stallTimer.timerId()) {
        m_stallTimer.stop();
        if (!hasRequestInFlight() || m_phase == Phase::Finished || isCanceled())
            return;
        if (m_bodySent) {
            qCWarning(lcTask) << "No answer" << m_answerInterval << "ms after the whole body went out";
            endUnanswered();
            return;
        }
        qCWarning(lcTask) << "Request stalled: nothing moved for" << m_stallInterval << "ms";
        abandonReply();
        armRetryTimer();
        return;
    }
    if (event->timerId() != m_retryTimer.timerId()) {
        ITask::timerEvent(event);
        return;
    }
    if (holdsRetries())
        return;
    const int attempt = m_attempt++;
    // A body partly out is still going (the stall watchdog bounds it); an
    // answer that has begun is going only while its bytes arrive.
    const bool moving = hasRequestInFlight()
        && (m_exchange == Exchange::Sending || (m_exchange == Exchange::Answering && m_answerMoved));
    m_answerMoved = false;
    if (attempt < m_attemptLimit) {
        if (!hasRequestInFlight())
            submitRequest();
        return;
    }
    m_retryTimer.stop();
    if (isCanceled())
        return;
    if (moving) {
        // Cutting it now could leave a photo published and reported as
        // timed out; its own outcome (or the stall watchdog) decides.
        m_pastLastTick = true;
        return;
    }
    if (hasRequestInFlight() && m_bodySent)
        endUnanswered();
    else
        finishWithError(TaskFailure(TaskFailure::Kind::TimedOut));
}

void ReplyTask::armRetryTimer()
{
    if (m_phase == Phase::Finished)
        return;
    // Unless the task waits for a login the user is still in.
    if (m_pastLastTick && !holdsRetries()) {
        finishWithError(TaskFailure(TaskFailure::Kind::TimedOut));
        return;
    }
    if (!m_retryTimer.isActive())
        m_attempt = 0;
    m_retryTimer.start(m_retryInterval, this);
    if (!hasRequestInFlight())
        setPhase(Phase::Retrying);
}

void ReplyTask::finishWithError(const TaskFailure &failure)
{
    concludeAttempt();
    qCWarning(lcTask) << this << SecretMask::masked(failure.text());
    // A copy: the host may delete the task from inside its callback.
    const FailureCallback onFailure = m_onFailure;
    if (!onFailure)
        return;
    TaskFailure told = failure;
    told.detail = SecretMask::masked(told.detail);
    told.reason = SecretMask::masked(told.reason);
    onFailure(told);
}

void ReplyTask::finishWithSuccess(const std::function<void()> &notifyHost)
{
    concludeAttempt();
    notifyHost();
}

void ReplyTask::concludeAttempt()
{
    // A login closed by the user ends the task canceled, as cancel() would.
    if (m_phase != Phase::Canceled)
        setPhase(Phase::Finished);
    m_retryTimer.stop();
    // A request still out (a time-out) must not be able to succeed later.
    if (hasRequestInFlight())
        abandonReply();
    outcomeDelivered();
}

bool ReplyTask::hasRequestInFlight() const
{
    return m_reply && m_reply->isRunning();
}

bool ReplyTask::isWorking() const
{
    return hasRequestInFlight() || m_retryTimer.isActive();
}

void ReplyTask::abandonReply()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    m_stallTimer.stop();
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

} // namespace Network
