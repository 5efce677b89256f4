#ifndef ALBUMTASK_H
#define ALBUMTASK_H

#include "FacebookTask.h"

#include <QList>
#include <QPair>
#include <functional>

// Lists the user's albums (name, may upload) in the service's order, page by
// page, and records each album's id in the Graph client's album map.
class AlbumTask : public FacebookTask
{
public:
    using Albums = QList<QPair<QString, bool>>;
    using SuccessCallback = std::function<void(const Albums &)>;

    AlbumTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
              RetryPolicy policy = RetryPolicy());
    ~AlbumTask() override;

    void submit() override;
    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    // More pages than this are not followed.
    static constexpr int maxPages = 100;


private:
    QString nextPagePath(const QVariantMap &result) const;

    SuccessCallback m_onSuccess;
    Albums m_albums;    // collected so far
    QString m_pagePath; // the page to ask for; empty for the first
    int m_pages = 0;
};

#endif // ALBUMTASK_H
