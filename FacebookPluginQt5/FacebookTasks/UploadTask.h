#ifndef UPLOADTASK_H
#define UPLOADTASK_H

#include "FacebookTask.h"
#include "IPhotoPublishing.h"

#include <functional>
#include <optional>

// Uploads one image file with a message, streamed from disk as the "source"
// part after the "message" part. The album is one the host names: by id
// (the publishing interface), or by name (the photo upload interface),
// through the album map. A name the map does not hold goes to the default
// album ("me"), unless the map was emptied by a change of the stored token:
// then the albums are listed again first, with the new token, and the photo
// goes to the album of that name if the account has one.
class UploadTask : public FacebookTask
{
public:
    using Done = std::function<void(const Publishing::Result &)>;

    UploadTask(GraphClient *graph, LoginFlow *login, const QString &filePath, const QString &albumName,
               const QString &message, std::function<void()> onSuccess, ErrorCallback onError,
               RetryPolicy policy = RetryPolicy());
    UploadTask(GraphClient *graph, LoginFlow *login, const Publishing::Photo &photo, Done done,
               RetryPolicy policy = RetryPolicy());
    ~UploadTask() override;

    void submit() override;
    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    QByteArray mimeForExt(QString suffix);

private:
    QString albumId();
    bool needsAlbumListing();
    void onListingPage(const QVariantMap &page);
    std::optional<TaskFailure> optionRefusal() const;

    QString m_filePath;
    QString m_albumName; // by name: the photo upload interface
    QString m_albumId;   // by id: the publishing interface
    QString m_message;
    QVariantMap m_options; // PhotoOption: any other is refused
    QString m_sentTo; // the album id of the photo's request
    std::function<void()> m_onSuccess;
    Done m_done;
    bool m_listing = false;  // the albums are being listed again, before the photo
    bool m_relisted = false; // the albums were listed again this submit
    QString m_pagePath;      // the listing's page to ask for; empty for the first
    int m_pages = 0;
};

#endif // UPLOADTASK_H
