#ifndef UPLOADQUEUE_H
#define UPLOADQUEUE_H

#include "PhotoPreparer.h"

#include "utils/ITask.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

class IPhotoUpload;
class QNetworkReply;
class WatchedNetworkManager;

// Uploads photos one after the other through the plug-in, each prepared the
// way the plug-in asks, and reports each one's progress and result. A photo
// that fails does not stop the ones after it.
class UploadQueue : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        QString file;
        bool ok = false;
        QString detail; // how it was prepared, or the error
    };

    UploadQueue(IPhotoUpload *plugin, WatchedNetworkManager *manager, QObject *parent = nullptr);
    ~UploadQueue() override;

    void start(const QStringList &files, const QString &album, const QString &message);
    const QList<Result> &results() const { return m_results; }
    int failures() const;

signals:
    void photoStarted(int index, const QString &file, const QString &preparation);
    void progress(int index, qint64 bytesSent, qint64 bytesTotal);
    void photoFinished(int index, const UploadQueue::Result &result);
    void finished();

private:
    void startNext();
    void finishCurrent(bool ok, const QString &detail);
    void watchReply(QNetworkReply *reply);

    IPhotoUpload *m_plugin;
    PhotoPreparer m_preparer;
    QStringList m_files;
    QString m_album;
    QString m_message;
    int m_current = -1;
    PreparedPhoto m_photo; // the one on its way; its temporary copy lives as long
    std::unique_ptr<ITask> m_task;
    QPointer<QNetworkReply> m_upload;
    QList<Result> m_results;
};

#endif // UPLOADQUEUE_H
