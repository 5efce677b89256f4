#ifndef CREATEALBUMTASK_H
#define CREATEALBUMTASK_H

#include "FacebookTask.h"
#include "IPhotoPublishing.h"

#include <functional>

// Creates an album ("POST /me/albums": name, message, privacy) and hears
// its id. Like a photo, an album is asked for at most once per submit:
// once the whole request went out, only the service's refusal says it was
// not made.
class CreateAlbumTask : public FacebookTask
{
public:
    using CreatedCallback = std::function<void(const Publishing::Album &)>;

    CreateAlbumTask(GraphClient *graph, LoginFlow *login, const Publishing::NewAlbum &album,
                    CreatedCallback onCreated, FailureCallback onFailure, RetryPolicy policy = RetryPolicy());
    ~CreateAlbumTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

private:
    Publishing::NewAlbum m_album;
    CreatedCallback m_onCreated;
};

#endif // CREATEALBUMTASK_H
