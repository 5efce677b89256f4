#include "ReplyTask.h"

#include "utils/SecretMask.h"

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
    , m_stallInterval(policy.stallMsecs)
    , m_answerInterval(policy.answerMsecs)
    , m_onError(std::move(onError))
{
}

QString ReplyTask::noAnswerMessage()
{
    return QStringLiteral("No answer after the photo was sent: it may have been published");
}

// A host that deletes a task (its user pressed Cancel) must not see the
// photo published all the same.
ReplyTask::~ReplyTask()
{
    if (hasRequestInFlight())
        abandonReply();
}

void ReplyTask::cancel()
{
    m_canceled = true;
    m_retryTimer.stop();
    m_stallTimer.stop();
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
    m_pastLastTick = false;
    submitRequest();
}

void ReplyTask::submitRequest()
{
    // reply() may report a local failure, and the host may delete the task
    // inside that callback.
    const QPointer<ReplyTask> alive(this);
    QNetworkReply *sent = reply();
    if (alive)
        setReply(sent);
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
    if (received <= maxReplyBytes || m_hasOutcome || isCanceled())
        return;
    qDebug() << "Reply larger than" << maxReplyBytes << "bytes refused";
    finishWithError(QStringLiteral("Http #%1<br>Error: the reply is larger than %2 MB")
                        .arg(m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
                        .arg(maxReplyBytes / (1024 * 1024)));
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
    if (isCanceled() || m_hasOutcome) {
        if (m_reply)
            m_reply->deleteLater();
        return;
    }
    // The connection ended without a status line after the whole body went
    // out (the network stack may not send it again: see SinglePassFile).
    if (m_bodySent && m_reply && !m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        m_reply->deleteLater();
        finishWithError(noAnswerMessage());
        return;
    }
    replyFinished();
}

void ReplyTask::endUnanswered()
{
    abandonReply();
    finishWithError(noAnswerMessage());
}

void ReplyTask::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_stallTimer.timerId()) {
        m_stallTimer.stop();
        if (!hasRequestInFlight() || m_hasOutcome || isCanceled())
            return;
        if (m_bodySent) {
            qDebug() << "No answer" << m_answerInterval << "ms after the whole body went out";
            endUnanswered();
            return;
        }
        qDebug() << "Request stalled: nothing moved for" << m_stallInterval << "ms";
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
        m_canceled = false;
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
        finishWithError(QStringLiteral("Request timed out"));
}

void ReplyTask::armRetryTimer()
{
    if (m_hasOutcome)
        return;
    // Unless the task waits for a login the user is still in.
    if (m_pastLastTick && !holdsRetries()) {
        finishWithError(QStringLiteral("Request timed out"));
        return;
    }
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
        onError(SecretMask::masked(message));
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
    m_stallTimer.stop();
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

} // namespace Network
