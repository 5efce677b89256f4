#include "UserNameTask.h"

#include "GraphClient.h"

UserNameTask::UserNameTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                           RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
    , m_onSuccess([onSuccess](const Publishing::Account &account) { onSuccess(account.name); })
{
}

UserNameTask::UserNameTask(GraphClient *graph, LoginFlow *login, AccountCallback onSuccess, FailureCallback onFailure,
                           RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onFailure), policy)
    , m_onSuccess(std::move(onSuccess))
{
}

UserNameTask::~UserNameTask() = default;

QNetworkReply *UserNameTask::reply()
{
    return graph()->get(QStringLiteral("/me"), this);
}

QByteArray UserNameTask::permissions()
{
    return QByteArray();
}

void UserNameTask::handleResult(const QVariantMap &result)
{
    const AccountCallback onSuccess = m_onSuccess;
    const Publishing::Account account { result.value(QStringLiteral("id")).toString(),
                                        result.value(QStringLiteral("name")).toString() };
    finishWithSuccess([&] { onSuccess(account); });
}
