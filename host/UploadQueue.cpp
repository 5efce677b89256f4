#include "UploadQueue.h"

#include "PlainText.h"
#include "WatchedNetworkManager.h"

#include "FacebookPluginQt5/IPhotoUpload.h"

#include <algorithm>
#include <QNetworkReply>
#include <QTimer>

UploadQueue::UploadQueue(IPhotoUpload *plugin, WatchedNetworkManager *manager, QObject *parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_preparer(plugin->supportedMimes(), plugin->supportedMaxSize())
{
    connect(manager, &WatchedNetworkManager::replyStarted, this, &UploadQueue::watchReply);
}

UploadQueue::~UploadQueue() = default;

void UploadQueue::start(const QStringList &files, const QString &album, const QString &message)
{
    m_files = files;
    m_album = album;
    m_message = message;
    m_results.clear();
    m_current = -1;
    startNext();
}

int UploadQueue::failures() const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [](const Result &r) { return !r.ok; }));
}

void UploadQueue::startNext()
{
    m_task.reset();
    m_photo = PreparedPhoto(); // removes the last temporary copy
    if (++m_current >= m_files.size()) {
        m_current = -1;
        emit finished();
        return;
    }
    const QString file = m_files.at(m_current);
    m_photo = m_preparer.prepare(file);
    if (!m_photo.ok()) {
        finishCurrent(false, m_photo.error);
        return;
    }
    emit photoStarted(m_current, file, m_photo.describe());
    m_task.reset(m_plugin->newUploadTask(
        m_photo.path, m_album, m_message,
        [this] { finishCurrent(true, m_photo.describe()); },
        [this](const QString &error) { finishCurrent(false, plainText(error)); }));
}

void UploadQueue::finishCurrent(bool ok, const QString &detail)
{
    const Result result { m_files.at(m_current), ok, detail };
    m_results.append(result);
    m_upload.clear();
    emit photoFinished(m_current, result);
    // Not from inside the plug-in's callback: the task is deleted next.
    QTimer::singleShot(0, this, &UploadQueue::startNext);
}

// The photo's own request is the POST; the permission check before it and
// the queries of other parts of the host are GETs.
void UploadQueue::watchReply(QNetworkReply *reply)
{
    if (m_current < 0 || reply->operation() != QNetworkAccessManager::PostOperation)
        return;
    m_upload = reply;
    const int index = m_current;
    connect(reply, &QNetworkReply::uploadProgress, this, [this, index, reply](qint64 sent, qint64 total) {
        if (reply == m_upload && total > 0)
            emit progress(index, sent, total);
    });
}
