#include "FacebookTask.h"

#include "GraphClient.h"
#include "LoginFlow.h"
#include "json/QtJson.h"
#include "utils/SecretMask.h"

#include <QDebug>
#include <QNetworkReply>

namespace {

// Graph replies are UTF-8 text; anything after a NUL byte is not.
QByteArray textOf(const QByteArray &bytes)
{
    return QByteArray::fromRawData(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

// The service refused the request before processing it: it may go again.
bool isRateLimit(int code)
{
    return code == 4 || code == 17;
}

// Every code the service limits the rate with: the application's, the
// user's, a page's and a single call's.
bool isAnyRateLimit(int code)
{
    return isRateLimit(code) || code == 32 || code == 613;
}

// "Unknown error", "temporarily unavailable": the service may have acted on
// the request before it failed.
bool isTransient(int code)
{
    return code == 1 || code == 2;
}

bool isPermissionError(int code)
{
    return code == 10 || (code >= 200 && code <= 299);
}

bool needsLogin(int code)
{
    return code == 10 || code == 102 || code == 190 || (code >= 200 && code <= 299) || code == 2500;
}

} // namespace

FacebookTask::FacebookTask(GraphClient *graph, LoginFlow *login, ErrorCallback onError, RetryPolicy policy)
    : FacebookTask(graph, login,
                   FailureCallback(onError ? [onError](const TaskFailure &failure) { onError(failure.text()); }
                                           : FailureCallback()),
                   policy)
{
}

FacebookTask::FacebookTask(GraphClient *graph, LoginFlow *login, FailureCallback onFailure, RetryPolicy policy)
    : ReplyTask(std::move(onFailure), policy)
    , m_graph(graph)
    , m_login(login)
{
    // Quietly, like cancel(): the host is tearing down.
    connect(login, &QObject::destroyed, this, [this] { cancel(); });
}

void FacebookTask::submit()
{
    m_loggedIn = false;
    ReplyTask::submit();
}

void FacebookTask::submitRequest()
{
    if (!m_graph || !m_login) {
        finishWithError(TaskFailure(TaskFailure::Kind::PluginUnloaded));
        return;
    }
    if (!permissions().isEmpty() && m_checkPermission) {
        sendCheck();
        return;
    }
    ReplyTask::submitRequest();
}

void FacebookTask::sendCheck()
{
    setPhase(Phase::Checking);
    setReply(m_graph->get(QStringLiteral("/me/permissions"), this));
}

void FacebookTask::replyFinished()
{
    QNetworkReply *reply = currentReply();
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        handleGraphError(status, reply->readAll());
    } else if (status >= 200 && status <= 299) {
        // A reply cut off after its headers carries a 2xx status but no
        // complete answer: that is a failure, not an empty result. After a
        // whole photo the service has most likely stored it.
        if (reply->error() == QNetworkReply::NoError)
            handleSuccess(reply->readAll());
        else if (bodySentWhole())
            finishWithError(TaskFailure(TaskFailure::Kind::NoAnswer));
        else
            reportHttpFailure(reply->errorString());
    } else {
        if (status == 302)
            qDebug() << "Redirect to:"
                     << SecretMask::masked(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().toString());
        reportHttpFailure(reply->errorString());
    }
}

void FacebookTask::handleGraphError(int status, const QByteArray &body)
{
    const QVariantMap map = QtJson::parse(textOf(body)).toMap();
    // The service's error is an object; anything else (an error page of its
    // front end, a proxy's JSON) says nothing of what became of the request.
    if (map.value(QStringLiteral("error")).userType() != QMetaType::QVariantMap) {
        reportHttpFailure(currentReply()->errorString());
        return;
    }
    const QVariantMap error = map.value(QStringLiteral("error")).toMap();
    const int code = error.value(QStringLiteral("code")).toInt();
    const int subCode = error.value(QStringLiteral("sub_code")).toInt();
    const QString message = error.value(QStringLiteral("message")).toString();
    qDebug() << "Facebook error:" << SecretMask::masked(message) << "code" << code << "sub_code:" << subCode;
    const bool loginCures =
        error.value(QStringLiteral("type")) == QVariant(QStringLiteral("OAuthException")) && needsLogin(code);
    // Once the whole body is out, only a rate limit on a 4xx says the
    // request was refused unprocessed: codes 1 and 2 and any 5xx may come
    // after the photo was stored.
    const bool refusedUnprocessed = isRateLimit(code) && status < 500;
    const bool mayHaveActed =
        bodySentWhole() && !refusedUnprocessed && (isTransient(code) || isRateLimit(code) || status >= 500);
    if (m_reportsRateLimits && isAnyRateLimit(code) && status < 500 && !mayHaveActed) {
        // The caller waits on the limit with its other requests and sends
        // this one again itself: a timer per request would only hit it again.
        TaskFailure failure(TaskFailure::Kind::RateLimited, message);
        failure.status = status;
        failure.serviceCode = code;
        finishWithError(failure);
    } else if (!mayHaveActed && (isRateLimit(code) || isTransient(code))) {
        armRetryTimer();
    } else if (loginCures && !m_loggedIn && !mayHaveActed) {
        auth();
    } else {
        // One login per submit: when the request after it is refused all the
        // same, the user declined the permission or the service keeps saying
        // no, and another login would only flash a window and send it again.
        if (loginCures && isPermissionError(code) && m_login)
            m_login->noteDeclined(QString::fromUtf8(permissions()));
        TaskFailure failure(TaskFailure::Kind::ServiceError, message);
        failure.maybeActedOn = mayHaveActed;
        failure.status = status;
        failure.serviceCode = code;
        finishWithError(failure);
    }
}

void FacebookTask::handleSuccess(const QByteArray &body)
{
    const QVariantMap map = QtJson::parse(textOf(body)).toMap();
    if (phase() != Phase::Checking) {
        handleResult(map);
        return;
    }
    // The answer to "/me/permissions": {"data":[{"installed":1,"user_photos":1,...}]}
    const QString name = QString::fromUtf8(permissions());
    const QVariantList data = map.value(QStringLiteral("data")).toList();
    const bool granted = std::any_of(data.cbegin(), data.cend(), [&name](const QVariant &row) {
        const QVariantMap entry = row.toMap();
        return entry.contains(name) && entry.value(name).toUInt() == 1;
    });
    if (granted || !m_checkPermission) {
        m_checkPermission = false;
        retry();
    } else {
        auth();
    }
}

void FacebookTask::reportHttpFailure(const QString &error)
{
    QNetworkReply *reply = currentReply();
    TaskFailure failure(TaskFailure::Kind::HttpFailure, SecretMask::masked(error)); // the error string quotes the address
    failure.maybeActedOn = bodySentWhole();
    failure.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    failure.reason = QString::fromUtf8(textOf(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()));
    qDebug() << failure.text();
    finishWithError(failure);
}

void FacebookTask::auth()
{
    if (!m_login)
        return;
    // Before the call: 'b' may arrive while it is still on the stack.
    m_listening = true;
    if (!hasRequestInFlight())
        setPhase(Phase::InLogin);
    m_heardOtherScope = false;
    m_login->authWithPermissions(QString::fromUtf8(permissions()), this, SLOT(onAuthFinished(char)));
}

void FacebookTask::onAuthFinished(char code)
{
    if (isCanceled())
        return;
    switch (code) {
    case 'y':
        // The login this task waited for is over; later logins of other
        // tasks are none of its business.
        stopListeningToLogins();
        m_checkPermission = false;
        // A login for another task's scope is not this task's login.
        m_loggedIn = m_loggedIn || !m_heardOtherScope;
        // A check still out was signed with the old token, and its answer
        // is not the answer to the real request: drop it and send that.
        if (hasRequestInFlight() && phase() == Phase::Checking)
            abandonReply();
        retry();
        break;
    case 'n':
        stopListeningToLogins();
        finishWithError(TaskFailure(TaskFailure::Kind::LoginFailed));
        break;
    case 'c':
        stopListeningToLogins();
        cancel();
        finishWithError(TaskFailure(TaskFailure::Kind::LoginCanceled));
        break;
    case 'b':
        // Told to every listener, the owner of the running login included.
        if (m_login && m_login->pendingScope() != QString::fromUtf8(permissions()))
            m_heardOtherScope = true;
        armRetryTimer();
        break;
    default:
        break;
    }
}

void FacebookTask::outcomeDelivered()
{
    stopListeningToLogins();
}

// Waiting for a login the user may take minutes over is no time-out.
bool FacebookTask::holdsRetries() const
{
    return m_listening && m_login && m_login->isAuthorising();
}

void FacebookTask::stopListeningToLogins()
{
    m_listening = false;
    if (m_login)
        disconnect(m_login, SIGNAL(authFinished(char)), this, SLOT(onAuthFinished(char)));
}
