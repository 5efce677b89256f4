#include "WatchedNetworkManager.h"

QNetworkReply *WatchedNetworkManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                    QIODevice *outgoingData)
{
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    emit replyStarted(reply);
    return reply;
}
