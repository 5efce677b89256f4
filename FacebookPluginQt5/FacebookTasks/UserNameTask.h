#ifndef USERNAMETASK_H
#define USERNAMETASK_H

#include "FacebookTask.h"
#include "IPhotoPublishing.h"

#include <functional>

// Fetches the logged-in user's name ("/me"); for the publishing interface,
// the account's id beside it.
class UserNameTask : public FacebookTask
{
public:
    using SuccessCallback = std::function<void(const QString &)>;
    using AccountCallback = std::function<void(const Publishing::Account &)>;

    UserNameTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                 RetryPolicy policy = RetryPolicy());
    UserNameTask(GraphClient *graph, LoginFlow *login, AccountCallback onSuccess, FailureCallback onFailure,
                 RetryPolicy policy = RetryPolicy());
    ~UserNameTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

private:
    AccountCallback m_onSuccess;
};

#endif // USERNAMETASK_H
