#ifndef UPLOADTASK_H
#define UPLOADTASK_H

#include "FacebookTask.h"

#include <functional>

// Uploads one image file with a message to a named album, or to the
// default album ("me") when the name is empty or no album listing has
// returned it. The file is streamed from disk as the "source" part, after
// the "message" part.
class UploadTask : public FacebookTask
{
public:
    UploadTask(GraphClient *graph, LoginFlow *login, const QString &filePath, const QString &albumName,
               const QString &message, std::function<void()> onSuccess, ErrorCallback onError,
               RetryPolicy policy = RetryPolicy());
    ~UploadTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    QByteArray mimeForExt(QString suffix);


private:
    QString albumId();

    QString m_filePath;
    QString m_albumName;
    QString m_message;
    std::function<void()> m_onSuccess;
};

#endif // UPLOADTASK_H
