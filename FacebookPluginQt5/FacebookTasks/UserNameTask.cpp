#include "UserNameTask.h"

#include "GraphClient.h"

UserNameTask::UserNameTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                           RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
    , m_onSuccess(std::move(onSuccess))
{
}

UserNameTask::~UserNameTask() = default;

QNetworkReply *UserNameTask::reply()
{
    return graph()->get(QStringLiteral("/me"));
}

QByteArray UserNameTask::permissions()
{
    return QByteArray();
}

void UserNameTask::handleResult(const QVariantMap &result)
{
    const SuccessCallback onSuccess = m_onSuccess;
    const QString name = result.value(QStringLiteral("name")).toString();
    finishWithSuccess([&] { onSuccess(name); });
}
