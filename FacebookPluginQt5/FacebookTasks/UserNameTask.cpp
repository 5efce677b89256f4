#include "UserNameTask.h"

#include "FacebookPlugin.h"

UserNameTask::UserNameTask(FacebookPlugin *plugin, SuccessCallback onSuccess, ErrorCallback onError)
    : UserNameTask(plugin, std::move(onSuccess), std::move(onError), RetryPolicy())
{
}

UserNameTask::UserNameTask(FacebookPlugin *plugin, SuccessCallback onSuccess, ErrorCallback onError,
                           RetryPolicy policy)
    : FacebookTask(plugin, std::move(onError), policy)
    , m_onSuccess(std::move(onSuccess))
{
}

UserNameTask::~UserNameTask() = default;

QNetworkReply *UserNameTask::reply()
{
    return plugin()->submitGetRequest(QStringLiteral("/me"));
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
