#include "ReplyTask.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkReply>
#include <QTimerEvent>

namespace Network {

ReplyTask::ReplyTask(ErrorCallback onError)
    : ReplyTask(std::move(onError), RetryPolicy())
{
}

ReplyTask::ReplyTask(ErrorCallback onError, RetryPolicy policy)
    : m_attemptLimit(policy.attemptLimit)
    , m_retryInterval(policy.intervalMsecs)
    , m_onError(std::move(onError))
{
}

ReplyTask::~ReplyTask() = default;

void ReplyTask::cancel()
{
    m_canceled = true;
    m_retryTimer.stop();
    // abort() may deliver finished() right here; the flag set above makes
    // onReplayFinished() only dispose of the reply.
    if (m_reply)
        m_reply->abort();
}

bool ReplyTask::isCanceled() const
{
    return m_canceled;
}

void ReplyTask::submit()
{
    cancel();
    QCoreApplication::sendPostedEvents(this, 0);
    m_canceled = false;
    m_hasOutcome = false;
    submitRequest();
}

void ReplyTask::submitRequest()
{
    setReply(reply());
}

QNetworkReply *ReplyTask::currentReply() const
{
    return m_reply;
}

void ReplyTask::retry()
{
    if (m_hasOutcome || hasRequestInFlight())
        return;
    m_canceled = false;
    submitRequest();
}

void ReplyTask::setReply(QNetworkReply *reply)
{
    m_reply = reply;
    if (!m_reply) {
        qDebug() << "Faild to submit request";
        return;
    }
    connect(m_reply, SIGNAL(finished()), this, SLOT(onReplayFinished()));
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
    if (isCanceled() || m_hasOutcome) {
        if (m_reply)
            m_reply->deleteLater();
        return;
    }
    replyFinished();
}

void ReplyTask::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_retryTimer.timerId()) {
        ITask::timerEvent(event);
        return;
    }
    if (holdsRetries())
        return;
    const int attempt = m_attempt++;
    if (attempt < m_attemptLimit) {
        m_canceled = false;
        if (!hasRequestInFlight())
            submitRequest();
        return;
    }
    m_retryTimer.stop();
    if (!isCanceled())
        finishWithError(QStringLiteral("Request timed out"));
}

void ReplyTask::armRetryTimer()
{
    if (m_hasOutcome)
        return;
    if (!m_retryTimer.isActive())
        m_attempt = 0;
    m_retryTimer.start(m_retryInterval, this);
}

void ReplyTask::finishWithError(const QString &message)
{
    concludeAttempt();
    // A copy: the host may delete the task from inside its callback.
    const ErrorCallback onError = m_onError;
    if (onError)
        onError(message);
}

void ReplyTask::finishWithSuccess(const std::function<void()> &notifyHost)
{
    concludeAttempt();
    notifyHost();
}

void ReplyTask::concludeAttempt()
{
    m_hasOutcome = true;
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
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

} // namespace Network
