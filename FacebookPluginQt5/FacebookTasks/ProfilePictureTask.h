#ifndef PROFILEPICTURETASK_H
#define PROFILEPICTURETASK_H

#include "FacebookTask.h"

#include <QSize>
#include <QUrl>
#include <functional>

// Fetches the address of the user's profile picture at a size, exactly as
// the host asked for it.
class ProfilePictureTask : public FacebookTask
{
public:
    using SuccessCallback = std::function<void(const QUrl &)>;

    ProfilePictureTask(GraphClient *graph, LoginFlow *login, const QSize &size, SuccessCallback onSuccess,
                       ErrorCallback onError, RetryPolicy policy = RetryPolicy());
    ~ProfilePictureTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;


private:
    SuccessCallback m_onSuccess;
    QSize m_size;
};

#endif // PROFILEPICTURETASK_H
