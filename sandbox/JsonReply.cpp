#include "JsonReply.h"

#include <QJsonDocument>

namespace JsonReply {

namespace {

void sendDocument(httplib::Response &response, const QJsonDocument &document)
{
    response.set_content(document.toJson(QJsonDocument::Compact).toStdString(), "application/json; charset=UTF-8");
}

} // namespace

void send(httplib::Response &response, const QJsonObject &object)
{
    sendDocument(response, QJsonDocument(object));
}

void send(httplib::Response &response, const QJsonArray &array)
{
    sendDocument(response, QJsonDocument(array));
}

} // namespace JsonReply
