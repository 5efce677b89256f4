#ifndef ALBUMTASK_H
#define ALBUMTASK_H

#include "FacebookTask.h"
#include "IPhotoPublishing.h"

#include <QList>
#include <QPair>
#include <functional>

// Lists the user's albums in the service's order, page by page, and records
// each album's id in the Graph client's album map. The photo upload
// interface hears (name, may upload); the publishing interface the albums
// with their ids.
class AlbumTask : public FacebookTask
{
public:
    using Albums = QList<QPair<QString, bool>>;
    using SuccessCallback = std::function<void(const Albums &)>;
    using AlbumsCallback = std::function<void(const QList<Publishing::Album> &)>;

    AlbumTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
              RetryPolicy policy = RetryPolicy());
    AlbumTask(GraphClient *graph, LoginFlow *login, AlbumsCallback onSuccess, FailureCallback onFailure,
              RetryPolicy policy = RetryPolicy());
    ~AlbumTask() override;

    void submit() override;
    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    // More pages than this are not followed.
    static constexpr int maxPages = 100;

private:
    AlbumsCallback m_onSuccess;
    QList<Publishing::Album> m_albums; // collected so far
    QString m_pagePath; // the page to ask for; empty for the first
    int m_pages = 0;
};

#endif // ALBUMTASK_H
