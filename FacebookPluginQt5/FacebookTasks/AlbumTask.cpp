#include "AlbumTask.h"

#include "GraphClient.h"

#include <QUrlQuery>

AlbumTask::AlbumTask(GraphClient *graph, LoginFlow *login, SuccessCallback onSuccess, ErrorCallback onError,
                     RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
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
    return graph()->get(m_pagePath.isEmpty() ? QStringLiteral("/me/albums") : m_pagePath);
}

QByteArray AlbumTask::permissions()
{
    return QByteArrayLiteral("user_photos");
}

void AlbumTask::handleResult(const QVariantMap &result)
{
    const QVariantList data = result.value(QStringLiteral("data")).toList();
    QHash<QString, QString> &albumIds = graph()->albumMap(); // checks the account once a page
    for (const QVariant &item : data) {
        const QVariantMap album = item.toMap();
        const QString name = album.value(QStringLiteral("name")).toString();
        m_albums.append({ name, album.value(QStringLiteral("can_upload")).toBool() });
        albumIds.insert(name, album.value(QStringLiteral("id")).toString());
    }
    const QString next = nextPagePath(result);
    if (!next.isEmpty() && !data.isEmpty() && ++m_pages < maxPages) {
        m_pagePath = next;
        setReply(reply());
        return;
    }
    const SuccessCallback onSuccess = m_onSuccess;
    const Albums albums = m_albums;
    finishWithSuccess([&] { onSuccess(albums); });
}

// The path and query of paging.next, without its token (each request is
// signed afresh), and only if it points at the Graph API itself: the token
// is never sent anywhere else.
QString AlbumTask::nextPagePath(const QVariantMap &result) const
{
    const QUrl next(result.value(QStringLiteral("paging")).toMap().value(QStringLiteral("next")).toString(),
                    QUrl::StrictMode);
    const QUrl origin(QString::fromUtf8(graph()->origin()));
    if (!next.isValid() || next.scheme() != origin.scheme() || next.host() != origin.host()
        || next.port(next.scheme() == QLatin1String("https") ? 443 : 80)
            != origin.port(origin.scheme() == QLatin1String("https") ? 443 : 80)) {
        return QString();
    }
    QUrlQuery query(next);
    query.removeAllQueryItems(QStringLiteral("access_token"));
    QUrl path;
    path.setPath(next.path(QUrl::FullyEncoded), QUrl::TolerantMode);
    path.setQuery(query);
    return path.toString(QUrl::FullyEncoded);
}
