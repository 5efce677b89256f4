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
    UploadTask(const QString &filePath, const QString &albumName, const QString &message, FacebookPlugin *plugin,
               std::function<void()> onSuccess, ErrorCallback onError);
    ~UploadTask() override;

    QNetworkReply *reply() override;
    QByteArray permissions() override;
    void handleResult(const QVariantMap &result) override;

    QByteArray mimeForExt(QString suffix);

    // With the caller's retry policy: the plug-in passes its own on, tests a fast one.
    UploadTask(const QString &filePath, const QString &albumName, const QString &message, FacebookPlugin *plugin,
               std::function<void()> onSuccess, ErrorCallback onError, RetryPolicy policy);

private:
    QString albumId();

    QString m_filePath;
    QString m_albumName;
    QString m_message;
    std::function<void()> m_onSuccess;
};

#endif // UPLOADTASK_H
