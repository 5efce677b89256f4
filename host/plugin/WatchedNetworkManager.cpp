#include "WatchedNetworkManager.h"

QNetworkReply *WatchedNetworkManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                    QIODevice *outgoingData)
{
    m_lastOrigin = request.url().adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment
                                          | QUrl::RemoveUserInfo).toString();
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    emit replyStarted(reply);
    return reply;
}
