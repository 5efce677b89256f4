#ifndef USERNAMETASK_H
#define USERNAMETASK_H

#include "FacebookTask.h"

#include <functional>

// Fetches the logged-in user's name.
class UserNameTask : public FacebookTask
{
public:
    using SuccessCallback = std::function<void(const QString &)>;

    UserNameTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                 RetryPolicy policy = RetryPolicy());
    ~UserNameTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;


private:
    SuccessCallback m_onSuccess;
};

#endif // USERNAMETASK_H
