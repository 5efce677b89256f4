#include "WatchedNetworkManager.h"

QString WatchedNetworkManager::originOf(const QUrl &url)
{
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

QNetworkReply *WatchedNetworkManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                    QIODevice *outgoingData)
{
    m_lastOrigin = originOf(request.url());
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    emit replyStarted(reply);
    return reply;
}
