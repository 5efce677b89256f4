#ifndef USERNAMETASK_H
#define USERNAMETASK_H

#include "FacebookTask.h"

#include <functional>

// Fetches the logged-in user's name.
class UserNameTask : public FacebookTask
{
public:
    using SuccessCallback = std::function<void(const QString &)>;

    UserNameTask(FacebookPlugin *plugin, SuccessCallback onSuccess, ErrorCallback onError);
    ~UserNameTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    // With the caller's retry policy: the plug-in passes its own on, tests a fast one.
    UserNameTask(FacebookPlugin *plugin, SuccessCallback onSuccess, ErrorCallback onError, RetryPolicy policy);

private:
    SuccessCallback m_onSuccess;
};

#endif // USERNAMETASK_H
