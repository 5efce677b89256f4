#include "AlbumTask.h"

#include "GraphClient.h"
#include "GraphForm.h"

AlbumTask::AlbumTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                     RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
    , m_onSuccess([onSuccess](const QList<Publishing::Album> &albums) {
        Albums pairs;
        for (const Publishing::Album &album : albums)
            pairs.append({ album.name, album.canUpload });
        onSuccess(pairs);
    })
{
}

AlbumTask::AlbumTask(GraphClient *graph, LoginFlow *login, AlbumsCallback onSuccess, FailureCallback onFailure,
                     RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onFailure), policy)
    , m_onSuccess(std::move(onSuccess))
{
}

AlbumTask::~AlbumTask() = default;

void AlbumTask::submit()
{
    m_albums.clear();
    m_pagePath.clear();
    m_pages = 0;
    FacebookTask::submit();
}

QNetworkReply *AlbumTask::reply()
{
    return graph()->get(m_pagePath.isEmpty() ? QStringLiteral("/me/albums") : m_pagePath, this);
}

QByteArray AlbumTask::permissions()
{
    return QByteArrayLiteral("user_photos");
}

void AlbumTask::handleResult(const QVariantMap &result)
{
    const QVariantList data = result.value(QStringLiteral("data")).toList();
    graph()->noteAlbums(data); // checks the account once a page
    for (const QVariant &item : data) {
        QVariantMap album = item.toMap();
        Publishing::Album listed;
        listed.id = album.take(QStringLiteral("id")).toString();
        listed.name = album.take(QStringLiteral("name")).toString();
        listed.canUpload = album.take(QStringLiteral("can_upload")).toBool();
        const QString audience = GraphForm::audienceOf(album.value(QStringLiteral("privacy")));
        if (!audience.isEmpty())
            album.insert(QStringLiteral("audience"), audience);
        listed.details = album;
        m_albums.append(listed);
    }
    const QString next = graph()->nextPagePath(result);
    if (!next.isEmpty() && !data.isEmpty() && ++m_pages < maxPages) {
        m_pagePath = next;
        setReply(reply());
        return;
    }
    if (result.contains(QStringLiteral("data")))
        graph()->noteAlbumsListed();
    const AlbumsCallback onSuccess = m_onSuccess;
    const QList<Publishing::Album> albums = m_albums;
    finishWithSuccess([&] { onSuccess(albums); });
}
