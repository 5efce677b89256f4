#include "UploadQueue.h"

#include "plugin/PlainText.h"
#include "plugin/WatchedNetworkManager.h"

#include "FacebookPluginQt5/IPhotoUpload.h"

#include <QFileInfo>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <algorithm>

struct UploadQueue::Photo
{
    QString file;
    Stage stage = Stage::Waiting;
    std::shared_ptr<PreparedPhoto> prepared; // its temporary copy lives as long
    std::unique_ptr<ITask> task;
    QPointer<QNetworkReply> reply;
    qint64 sent = 0;
    qint64 size = 0; // of the file sent; 0 until prepared
    Result result;
};

UploadQueue::UploadQueue(IPhotoUpload *plugin, WatchedNetworkManager *manager, int parallel, QObject *parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_preparer(plugin->supportedMimes(), plugin->supportedMaxSize())
    , m_parallel(std::clamp(parallel, 1, maxParallel))
{
    m_workers.setMaxThreadCount(std::min(m_parallel, std::max(1, QThread::idealThreadCount())));
    connect(manager, &WatchedNetworkManager::replyStarted, this, &UploadQueue::watchReply);
}

UploadQueue::~UploadQueue()
{
    // A preparation still running hands its photo to this object's event
    // queue, which is emptied with it: the copy is removed then.
    m_workers.clear();
    m_workers.waitForDone();
}

void UploadQueue::start(const QStringList &files, const QString &album, const QString &message)
{
    ++m_batch;
    m_album = album;
    m_message = message;
    m_photos.clear();
    for (const QString &file : files) {
        m_photos.push_back(std::make_unique<Photo>());
        m_photos.back()->file = file;
    }
    std::fill(std::begin(m_inStage), std::end(m_inStage), 0);
    m_inStage[int(Stage::Waiting)] = int(m_photos.size());
    m_prepared.clear();
    m_uploading.clear();
    m_results.clear();
    m_nextToPrepare = 0;
    m_nextToReport = 0;
    m_starting = -1;
    m_sent = m_sizes = 0;
    m_sized = m_doneUnsized = 0;
    m_running = true;
    advance();
    reportInOrder(); // an empty batch is finished at once
}

void UploadQueue::cancel()
{
    if (!m_running)
        return;
    for (int i = 0; i < int(m_photos.size()); ++i) {
        Photo &photo = *m_photos[size_t(i)];
        if (photo.stage == Stage::Done)
            continue;
        // A photo whose every byte went out may be published all the same:
        // only the answer did not come.
        const bool allSent = photo.stage == Stage::Uploading && photo.size > 0 && photo.sent >= photo.size;
        photo.task.reset(); // stops its request
        photo.prepared.reset();
        photo.result = { photo.file, false,
                         allSent ? QStringLiteral("canceled after it was sent: the service may have published it")
                                 : QStringLiteral("canceled, not sent") };
        setStage(i, Stage::Done);
    }
    m_nextToPrepare = int(m_photos.size());
    reportInOrder();
}

int UploadQueue::failures() const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [](const Result &r) { return !r.ok; }));
}

UploadQueue::Totals UploadQueue::totals() const
{
    Totals totals;
    totals.total = int(m_photos.size());
    totals.done = m_nextToReport;
    totals.sent = m_sent;
    const int unsized = totals.total - m_sized - m_doneUnsized;
    totals.expected = m_sizes + (m_sized > 0 ? m_sizes / m_sized * unsized : 0);
    return totals;
}

void UploadQueue::setStage(int index, Stage stage)
{
    Photo &photo = *m_photos[size_t(index)];
    --m_inStage[int(photo.stage)];
    ++m_inStage[int(stage)];
    if (photo.stage == Stage::Prepared)
        m_prepared.erase(index);
    if (photo.stage == Stage::Uploading)
        m_uploading.erase(std::find(m_uploading.begin(), m_uploading.end(), index));
    if (stage == Stage::Prepared)
        m_prepared.insert(index);
    if (stage == Stage::Uploading)
        m_uploading.push_back(index);
    if (stage == Stage::Done && photo.size == 0)
        ++m_doneUnsized;
    photo.stage = stage;
}

void UploadQueue::setSent(Photo &photo, qint64 sent)
{
    m_sent += sent - photo.sent;
    photo.sent = sent;
}

// Starts what the limits allow: uploads of prepared photos, one start at a
// time, and preparations of the next photos while few enough wait.
void UploadQueue::advance()
{
    if (!m_running)
        return;
    while (m_starting < 0 && m_inStage[int(Stage::Uploading)] < m_parallel && !m_prepared.empty())
        startUpload(*m_prepared.begin());
    while (m_nextToPrepare < int(m_photos.size())
           && m_inStage[int(Stage::Preparing)] + m_inStage[int(Stage::Prepared)] < m_parallel)
        prepareInBackground(m_nextToPrepare++);
}

void UploadQueue::prepareInBackground(int index)
{
    setStage(index, Stage::Preparing);
    const QString file = m_photos[size_t(index)]->file;
    const PhotoPreparer *preparer = &m_preparer;
    const quint64 batch = m_batch;
    m_workers.start(QRunnable::create([this, preparer, file, batch, index] {
        auto prepared = std::make_shared<PreparedPhoto>(preparer->prepare(file));
        QMetaObject::invokeMethod(
            this, [this, batch, index, prepared] { onPrepared(batch, index, prepared); }, Qt::QueuedConnection);
    }));
}

void UploadQueue::onPrepared(quint64 batch, int index, std::shared_ptr<PreparedPhoto> prepared)
{
    if (batch != m_batch || m_photos[size_t(index)]->stage != Stage::Preparing)
        return; // canceled meanwhile: the copy goes with `prepared`
    Photo &photo = *m_photos[size_t(index)];
    if (!prepared->ok()) {
        finishPhoto(index, false, prepared->error);
        return;
    }
    photo.prepared = std::move(prepared);
    photo.size = QFileInfo(photo.prepared->path).size();
    m_sizes += photo.size;
    ++m_sized;
    setStage(index, Stage::Prepared);
    emit photoPrepared(index);
    advance();
}

void UploadQueue::startUpload(int index)
{
    Photo &photo = *m_photos[size_t(index)];
    setStage(index, Stage::Uploading);
    m_starting = index;
    const QString preparation = photo.prepared->describe();
    emit photoStarted(index, photo.file, preparation);
    ITask *task = m_plugin->newUploadTask(
        photo.prepared->path, m_album, m_message,
        [this, index, preparation] { finishPhoto(index, true, preparation); },
        [this, index](const QString &error) { finishPhoto(index, false, plainText(error)); });
    if (photo.stage == Stage::Uploading)
        photo.task.reset(task);
    else // it ended inside the factory; its task is deleted next turn
        QTimer::singleShot(0, this, [task = std::shared_ptr<ITask>(task)] {});
}

void UploadQueue::finishPhoto(int index, bool ok, const QString &detail)
{
    Photo &photo = *m_photos[size_t(index)];
    if (photo.stage == Stage::Done)
        return;
    if (ok)
        setSent(photo, photo.size);
    photo.result = { photo.file, ok, detail };
    setStage(index, Stage::Done);
    if (m_starting == index)
        m_starting = -1;
    // Not from inside the plug-in's callback: its task and copy go next turn
    // (or with the queue, if it goes first).
    QTimer::singleShot(0, this, [this, task = std::shared_ptr<ITask>(photo.task.release()), prepared = std::move(photo.prepared)] {
        reportInOrder();
        advance();
    });
}

void UploadQueue::reportInOrder()
{
    while (m_running && m_nextToReport < int(m_photos.size())
           && m_photos[size_t(m_nextToReport)]->stage == Stage::Done) {
        const int index = m_nextToReport++;
        m_results.append(m_photos[size_t(index)]->result);
        // A copy: a receiver that cancels the batch adds to the list.
        const Result result = m_results.last();
        emit photoFinished(index, result);
    }
    if (m_running && m_nextToReport == int(m_photos.size())) {
        m_running = false;
        emit finished();
    }
}

// The photo's own request is the POST; the permission check before it and
// the queries of other parts of the host are GETs. A POST while no upload
// is starting is a task sending its photo again: the one without a request.
void UploadQueue::watchReply(QNetworkReply *reply)
{
    if (!m_running || reply->operation() != QNetworkAccessManager::PostOperation)
        return;
    int index = m_starting;
    if (index < 0) {
        std::vector<int> candidates;
        for (const int i : m_uploading) {
            const Photo &photo = *m_photos[size_t(i)];
            if (!photo.reply || photo.reply->isFinished())
                candidates.push_back(i);
        }
        if (candidates.size() != 1)
            return;
        index = candidates.front();
    }
    m_starting = -1;
    Photo &photo = *m_photos[size_t(index)];
    photo.reply = reply;
    setSent(photo, 0);
    const quint64 batch = m_batch;
    connect(reply, &QNetworkReply::uploadProgress, this, [this, batch, index, reply](qint64 sent, qint64 total) {
        if (batch != m_batch || total <= 0)
            return;
        Photo &photo = *m_photos[size_t(index)];
        if (reply != photo.reply || photo.stage != Stage::Uploading)
            return;
        setSent(photo, std::min(sent, photo.size));
        emit progress(index, sent, total);
    });
    QTimer::singleShot(0, this, &UploadQueue::advance);
}
