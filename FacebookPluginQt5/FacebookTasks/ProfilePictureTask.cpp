#include "ProfilePictureTask.h"

#include "GraphClient.h"

ProfilePictureTask::ProfilePictureTask(GraphClient *graph, LoginFlow *login, const QSize &size,
                                       SuccessCallback onSuccess, ErrorCallback onError, RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
    , m_onSuccess(std::move(onSuccess))
    , m_size(size)
{
}

ProfilePictureTask::~ProfilePictureTask() = default;

QNetworkReply *ProfilePictureTask::reply()
{
    return graph()->get(QStringLiteral("/me/picture?redirect=false&width=") + QString::number(m_size.width())
                            + QStringLiteral("&height=") + QString::number(m_size.height()),
                        this);
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
