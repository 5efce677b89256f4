#ifndef JSONREPLY_H
#define JSONREPLY_H

#include <httplib.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <string>

// Every JSON body the sandbox sends, written one way.
namespace JsonReply {

void send(httplib::Response &response, const QJsonObject &object);
void send(httplib::Response &response, const QJsonArray &array);

inline QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

} // namespace JsonReply

#endif // JSONREPLY_H
