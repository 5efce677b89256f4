#include "ProfilePictureTask.h"

#include "FacebookPlugin.h"

ProfilePictureTask::ProfilePictureTask(FacebookPlugin *plugin, const QSize &size, SuccessCallback onSuccess,
                                       ErrorCallback onError)
    : ProfilePictureTask(plugin, size, std::move(onSuccess), std::move(onError), RetryPolicy())
{
}

ProfilePictureTask::ProfilePictureTask(FacebookPlugin *plugin, const QSize &size, SuccessCallback onSuccess,
                                       ErrorCallback onError, RetryPolicy policy)
    : FacebookTask(plugin, std::move(onError), policy)
    , m_onSuccess(std::move(onSuccess))
    , m_size(size)
{
}

ProfilePictureTask::~ProfilePictureTask() = default;

QNetworkReply *ProfilePictureTask::reply()
{
    return plugin()->submitGetRequest(QStringLiteral("/me/picture?redirect=false&width=")
                                      + QString::number(m_size.width()) + QStringLiteral("&height=")
                                      + QString::number(m_size.height()));
}

QByteArray ProfilePictureTask::permissions()
{
    return QByteArray();
}

void ProfilePictureTask::handleResult(const QVariantMap &result)
{
    const SuccessCallback onSuccess = m_onSuccess;
    const QUrl url = result.value(QStringLiteral("data")).toMap().value(QStringLiteral("url")).toUrl();
    finishWithSuccess([&] { onSuccess(url); });
}
