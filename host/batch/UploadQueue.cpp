#include "UploadQueue.h"

#include "plugin/PlainText.h"
#include "plugin/PluginHost.h"

#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

bool skips(const UploadRecord::Entry &known)
{
    return known.state != UploadRecord::State::Failed;
}

} // namespace

// What the record knew when the batch started: by content, and the latest
// sending from each path.
struct UploadQueue::Known
{
    UploadRecord::Entries byDigest;
    QHash<QString, QByteArray> latestByFile;

    explicit Known(UploadRecord::Entries entries)
        : byDigest(std::move(entries))
    {
        QHash<QString, QDateTime> latestAt;
        for (auto entry = byDigest.cbegin(); entry != byDigest.cend(); ++entry) {
            if (!skips(*entry) || entry->at < latestAt.value(entry->file))
                continue;
            latestAt.insert(entry->file, entry->at);
            latestByFile.insert(entry->file, entry.key());
        }
    }

    // An earlier sending of this content, or of this path when its content
    // is new: what held it back. Null when nothing does.
    const UploadRecord::Entry *heldBackBy(const QByteArray &digest, const QString &file, bool *changed) const
    {
        *changed = false;
        const auto same = byDigest.constFind(digest);
        if (same != byDigest.cend())
            return skips(*same) ? &*same : nullptr;
        const auto earlier = latestByFile.constFind(QFileInfo(file).absoluteFilePath());
        if (earlier == latestByFile.cend())
            return nullptr;
        *changed = true;
        return &*byDigest.constFind(*earlier);
    }
};

// A photo as a worker leaves it: checked, hashed and prepared, or why not.
struct UploadQueue::Ready
{
    std::shared_ptr<PreparedPhoto> prepared;
    QByteArray digest;
    SourceFile::Stamp stamp;
    QString error;
    // The record's earlier sending of this content, or of this path with
    // other content (changed); in the batch's own snapshot.
    const UploadRecord::Entry *earlier = nullptr;
    bool changed = false;
};

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
    QByteArray digest; // of the original; empty without a record
    SourceFile::Stamp stamp; // of the content hashed
    std::optional<UploadRecord::Entry> known; // what the record knew before the batch
    bool posted = false; // its upload request has started: it has its login
    // A body of it went out whole: the service may have it, whatever
    // happens to the attempts after (Ctrl+C counts every attempt).
    bool bodyOut = false;
};

UploadQueue::UploadQueue(PluginHost *host, int parallel, QObject *parent, int rateLimitWaitMs, int rateLimitWaits)
    : QObject(parent)
    , m_host(host)
    , m_preparer(host->plugin()->supportedMimes(), host->plugin()->supportedMaxSize(), Publishing::maxPhotoBytes)
    , m_parallel(std::clamp(parallel, 1, maxParallel))
    , m_stopReading(std::make_shared<std::atomic<bool>>(false))
    , m_rateLimitWaitMs(rateLimitWaitMs)
    , m_rateLimitWaitsAllowed(rateLimitWaits)
{
    m_workers.setMaxThreadCount(std::min(m_parallel, std::max(1, QThread::idealThreadCount())));
    connect(host->manager(), &WatchedNetworkManager::replyStarted, this, &UploadQueue::watchReply);
    m_rateLimitHold.setSingleShot(true);
    connect(&m_rateLimitHold, &QTimer::timeout, this, &UploadQueue::advance);
}

UploadQueue::~UploadQueue()
{
    // A preparation still running hands its photo to this object's event
    // queue, which is emptied with it: the copy is removed then. A digest
    // stops at its next chunk.
    m_stopReading->store(true);
    m_workers.clear();
    m_workers.waitForDone();
    if (m_running && m_place.record)
        m_place.record->unlock();
}

void UploadQueue::start(const QStringList &files, const Album &album, const QString &message)
{
    Options options;
    options.message = message;
    options.messageGiven = true;
    start(files, album, options, Place());
}

void UploadQueue::start(const QStringList &files, const Album &album, const Options &options, const Place &place)
{
    ++m_batch;
    m_album = album;
    m_options = options;
    m_place = place;
    UploadRecord::Entries known;
    QString recordError;
    const bool recordReady = !m_place.record
        || (m_place.record->lock(&recordError)
            && m_place.record->entries(m_place.account, album, m_place.withOldRows, &known, &recordError));
    m_known = std::make_shared<const Known>(std::move(known));
    m_stopReading->store(true); // a late worker of an earlier batch
    m_stopReading = std::make_shared<std::atomic<bool>>(false);
    m_digestsSent.clear();
    m_loginRefused = false;
    m_rateLimitHold.stop();
    m_rateLimitWaits = 0;
    m_probing = false;
    m_rateLimitReason.clear();
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
    m_unclaimed.clear();
    m_sent = m_sizes = 0;
    m_sized = m_doneUnsized = 0;
    m_running = true;
    if (!recordReady) {
        // Without what was sent before, anything could go a second time.
        for (int i = 0; i < int(m_photos.size()); ++i)
            settle(i, Outcome::Failed, QStringLiteral("not sent: %1").arg(recordError));
        m_nextToPrepare = int(m_photos.size());
    }
    advance();
    reportInOrder(); // an empty batch is finished at once
}

void UploadQueue::cancel()
{
    if (!m_running)
        return;
    m_stopReading->store(true);
    m_rateLimitHold.stop();
    for (int i = 0; i < int(m_photos.size()); ++i) {
        Photo &photo = *m_photos[size_t(i)];
        if (photo.stage == Stage::Done)
            continue;
        photo.task.reset(); // stops its request
        photo.prepared.reset();
        // Any attempt whose every byte went out unanswered may be published
        // all the same, not only the last one.
        if (photo.bodyOut)
            settle(i, Outcome::Unknown, QStringLiteral("canceled after it was sent: the service may have published it"));
        else
            settle(i, Outcome::Failed, QStringLiteral("canceled, not sent"));
    }
    m_nextToPrepare = int(m_photos.size());
    reportInOrder();
}

int UploadQueue::count(Outcome outcome) const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [outcome](const Result &r) { return r.outcome == outcome; }));
}

QString UploadQueue::summary() const
{
    QStringList parts { QStringLiteral("%1 uploaded").arg(count(Outcome::Uploaded)) };
    if (const int failed = count(Outcome::Failed))
        parts << QStringLiteral("%1 failed").arg(failed);
    if (const int unknown = count(Outcome::Unknown))
        parts << QStringLiteral("%1 may have been published").arg(unknown);
    if (const int skipped = count(Outcome::Skipped))
        parts << QStringLiteral("%1 skipped (sent before)").arg(skipped);
    if (const int changed = count(Outcome::Changed))
        parts << QStringLiteral("%1 held back (changed since sent)").arg(changed);
    return parts.join(QStringLiteral(", "));
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

// Starts what the limits allow: uploads of prepared photos, and
// preparations of the next photos while few enough wait.
void UploadQueue::advance()
{
    if (!m_running)
        return;
    const int uploads = m_probing ? 1 : m_parallel; // after a rate limit: one, to see whether it lifted
    while (!m_loginRefused && !m_rateLimitHold.isActive() && m_inStage[int(Stage::Uploading)] < uploads
           && !m_prepared.empty())
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
    const bool digests = m_place.record != nullptr;
    const bool again = m_place.again;
    const bool keepLocation = m_options.keepLocation;
    const std::shared_ptr<const Known> known = m_known;
    const std::shared_ptr<const std::atomic<bool>> stop = m_stopReading;
    m_workers.start(QRunnable::create([this, preparer, file, batch, index, digests, again, keepLocation, known, stop] {
        Ready ready;
        // Its type and size before anything reads it whole.
        ready.stamp = SourceFile::stampOf(file, &ready.error);
        if (ready.error.isEmpty())
            ready.error = preparer->refusal(file, ready.stamp.size);
        if (ready.error.isEmpty() && digests)
            ready.digest = SourceFile::digest(file, *stop, &ready.stamp, &ready.error);
        if (!ready.digest.isEmpty())
            ready.earlier = known->heldBackBy(ready.digest, file, &ready.changed);
        // A photo that will not be sent is not prepared either.
        const bool heldBack = !again && ready.earlier;
        ready.prepared = std::make_shared<PreparedPhoto>();
        if (ready.error.isEmpty() && !heldBack) {
            *ready.prepared = preparer->prepare(file, keepLocation);
            QString error;
            if (ready.prepared->ok() && SourceFile::stampOf(file, &error) != ready.stamp)
                ready.error = SourceFile::changedLine(file);
        }
        QMetaObject::invokeMethod(
            this, [this, batch, index, ready] { onPrepared(batch, index, ready); }, Qt::QueuedConnection);
    }));
}

// "uploaded to Trips on 2026-12-08 14:02", after what the photo is, then
// what the user can do.
QString UploadQueue::knownText(const UploadRecord::Entry &known, const QString &action) const
{
    const QString album = m_album.name.isEmpty() ? QStringLiteral("the application's album") : m_album.name;
    const QString at = known.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (known.state == UploadRecord::State::Uploaded)
        return QStringLiteral("uploaded to %1 on %2%3").arg(album, at, action);
    return QStringLiteral("may have been published to %1 on %2: check the album%3").arg(album, at, action);
}

void UploadQueue::onPrepared(quint64 batch, int index, const Ready &ready)
{
    if (batch != m_batch || m_photos[size_t(index)]->stage != Stage::Preparing)
        return; // canceled meanwhile: the copy goes with `ready`
    Photo &photo = *m_photos[size_t(index)];
    if (!ready.error.isEmpty())
        return finishPhoto(index, Outcome::Failed, ready.error);
    photo.digest = ready.digest;
    photo.stamp = ready.stamp;
    if (!photo.digest.isEmpty()) {
        const UploadRecord::Entry *earlier = ready.earlier; // m_known is the batch's still
        const bool changed = ready.changed;
        if (!changed && earlier)
            photo.known = *earlier;
        if (earlier && !m_place.again) {
            photo.result.before = earlier->state;
            if (changed)
                return finishPhoto(index, Outcome::Changed,
                                   QStringLiteral("changed since it %1%2")
                                       .arg(earlier->state == UploadRecord::State::Uploaded ? QStringLiteral("was ") : QString(),
                                            knownText(*earlier, QStringLiteral(": --again sends the new version (the earlier one stays)"))));
            return finishPhoto(index, Outcome::Skipped, knownText(*earlier, QString()));
        }
        const auto twin = m_digestsSent.constFind(photo.digest);
        if (twin != m_digestsSent.cend())
            return finishPhoto(index, Outcome::Skipped,
                               QStringLiteral("the same photo as %1, earlier in this batch").arg(m_photos[size_t(*twin)]->file));
        m_digestsSent.insert(photo.digest, index);
    }
    if (!ready.prepared->ok()) {
        finishPhoto(index, Outcome::Failed, ready.prepared->error);
        return;
    }
    photo.prepared = ready.prepared;
    photo.size = QFileInfo(photo.prepared->path).size();
    m_sizes += photo.size;
    ++m_sized;
    setStage(index, Stage::Prepared);
    emit photoPrepared(index);
    advance();
}

// A photo sent as it is is read again by the plug-in when its turn comes:
// it must still be the content the record will know it by.
bool UploadQueue::checkUnchanged(int index)
{
    Photo &photo = *m_photos[size_t(index)];
    if (photo.prepared->path != photo.file)
        return true; // its copy was made from what was hashed
    QString error;
    if (SourceFile::stampOf(photo.file, &error) == photo.stamp && error.isEmpty())
        return true;
    finishPhoto(index, Outcome::Failed, SourceFile::changedLine(photo.file));
    return false;
}

void UploadQueue::startUpload(int index)
{
    Photo &photo = *m_photos[size_t(index)];
    if (!checkUnchanged(index))
        return;
    setStage(index, Stage::Uploading);
    const QString preparation = photo.prepared->describe();
    emit photoStarted(index, photo.file, preparation);
    ITask *task = m_host->publishing()->newPublishTask(
        publication(photo),
        [this, index](const Publishing::Result &result) { onPublished(index, result); });
    if (photo.stage != Stage::Uploading) {
        // It ended inside the factory; its task is deleted next turn.
        QTimer::singleShot(0, this, [task = std::shared_ptr<ITask>(task)] {});
        return;
    }
    photo.task.reset(task);
    // What the task sent before the factory returned is its own.
    const QList<QPointer<QNetworkReply>> unclaimed = std::exchange(m_unclaimed, {});
    for (QNetworkReply *reply : unclaimed) {
        if (reply)
            watchReply(reply);
    }
}

// The photo as the plug-in sends it: the words the user gave it, or its
// own; its capture time; who may see it.
Publishing::Photo UploadQueue::publication(const Photo &photo) const
{
    const PreparedPhoto &prepared = *photo.prepared;
    Publishing::Photo sent { prepared.path, m_album.id, QString(), {} };
    const auto own = m_options.messages.constFind(photo.file);
    if (own != m_options.messages.cend())
        sent.message = *own;
    else if (m_options.messageGiven)
        sent.message = m_options.message;
    else if (m_options.captions)
        sent.message = prepared.caption;
    // A plug-in of the first version refuses every option: the date is
    // left out there rather than the photo; an audience the user asked
    // for is not.
    if (m_options.dates && !prepared.takenAt.isEmpty() && m_host->albumPublishing())
        sent.options.insert(Publishing::PhotoOption::takenAt(), prepared.takenAt);
    if (!m_options.audience.isEmpty())
        sent.options.insert(Publishing::PhotoOption::audience(), m_options.audience);
    return sent;
}

// A body went out whole: the service may have the photo from now on.
void UploadQueue::noteBodyOut(int index)
{
    Photo &photo = *m_photos[size_t(index)];
    if (photo.bodyOut)
        return;
    photo.bodyOut = true;
    // Before any answer: a host that dies now never sends it again unasked.
    if (!(photo.known && photo.known->state >= UploadRecord::State::Unknown)) {
        noteInRecord(index, UploadRecord::State::Unknown);
    }
}

void UploadQueue::onPublished(int index, const Publishing::Result &result)
{
    using Published = Publishing::Result::Outcome;
    switch (result.outcome) {
    case Published::Published:
        m_rateLimitWaits = 0;
        m_probing = false;
        return finishPhoto(index, Outcome::Uploaded, m_photos[size_t(index)]->prepared->describe());
    case Published::MayHaveBeenPublished:
        return finishPhoto(index, Outcome::Unknown, plainText(result.text()));
    case Published::NotPublished:
        break;
    }
    if (result.failure.kind == TaskFailure::Kind::RateLimited && m_rateLimitReason.isEmpty())
        return holdForRateLimit(index, result);
    finishPhoto(index, Outcome::Failed, plainText(result.text()));
    if (result.failure.isLoginRefusal() && !m_loginRefused) {
        m_loginRefused = true;
        // After the login's outcome has reached every photo waiting for it.
        QTimer::singleShot(0, this, [this, batch = m_batch] {
            if (batch == m_batch)
                endLoginRefused();
        });
    }
}

// The service refused the photo unprocessed, because too much came too
// fast: it goes back to wait with the others, and nothing starts until the
// wait is over. The first refusal of a wait starts it; those of the uploads
// that were out at the time join it.
void UploadQueue::holdForRateLimit(int index, const Publishing::Result &result)
{
    Photo &photo = *m_photos[size_t(index)];
    // Not from inside the plug-in's callback: its task goes next turn.
    QTimer::singleShot(0, this, [task = std::shared_ptr<ITask>(photo.task.release())] {});
    photo.posted = false;
    photo.bodyOut = false; // refused: this attempt is not on the service
    photo.reply.clear();
    setSent(photo, 0);
    setStage(index, Stage::Prepared);
    if (m_rateLimitHold.isActive())
        return;
    if (++m_rateLimitWaits > m_rateLimitWaitsAllowed)
        return giveUpOnRateLimit(plainText(result.text()));
    m_probing = true;
    m_rateLimitHold.start(m_rateLimitWaitMs);
    emit rateLimited((m_rateLimitWaitMs + 999) / 1000, plainText(result.failure.detail));
    // Preparations go on meanwhile (not from inside the plug-in's callback);
    // uploads wait for the timer.
    QTimer::singleShot(0, this, [this, batch = m_batch] {
        if (batch == m_batch)
            advance();
    });
}

// The limit has not lifted for long: the photos not out end here. Those
// out end with their answers.
void UploadQueue::giveUpOnRateLimit(const QString &reason)
{
    m_rateLimitReason = reason;
    for (int i = 0; i < int(m_photos.size()); ++i) {
        Photo &photo = *m_photos[size_t(i)];
        if (photo.stage == Stage::Done || photo.stage == Stage::Uploading)
            continue;
        photo.prepared.reset();
        settle(i, Outcome::Failed, reason);
    }
    m_stopReading->store(true);
    m_nextToPrepare = int(m_photos.size());
    QTimer::singleShot(0, this, [this, batch = m_batch] {
        if (batch == m_batch)
            reportInOrder();
    });
}

// The user said no to the batch's login: the photos that have not started
// sending end here instead of asking again, one by one.
void UploadQueue::endLoginRefused()
{
    if (!m_running)
        return;
    for (int i = 0; i < int(m_photos.size()); ++i) {
        Photo &photo = *m_photos[size_t(i)];
        if (photo.stage == Stage::Done || photo.posted)
            continue;
        photo.task.reset();
        photo.prepared.reset();
        settle(i, Outcome::Failed, QStringLiteral("not sent: the login was canceled"));
    }
    m_nextToPrepare = int(m_photos.size());
    reportInOrder();
}

// Writes what the batch learnt of a photo, never weakening what the record
// knew before it (an upload sent again with --again that fails is still
// uploaded once).
void UploadQueue::noteInRecord(int index, UploadRecord::State state)
{
    Photo &photo = *m_photos[size_t(index)];
    if (!m_place.record || photo.digest.isEmpty())
        return;
    UploadRecord::Entry entry { state, QDateTime::currentDateTimeUtc(), QFileInfo(photo.file).absoluteFilePath() };
    if (photo.known && photo.known->state >= state)
        entry = *photo.known;
    m_place.record->note(m_place.account, m_album.id, photo.digest, entry);
}

// A photo's outcome, in the record as well.
void UploadQueue::settle(int index, Outcome outcome, const QString &detail)
{
    Photo &photo = *m_photos[size_t(index)];
    switch (outcome) {
    case Outcome::Uploaded:
        noteInRecord(index, UploadRecord::State::Uploaded);
        break;
    case Outcome::Unknown:
        noteInRecord(index, UploadRecord::State::Unknown);
        break;
    case Outcome::Failed:
        // Takes back the unknown written when its body went out: the
        // service refused it after all.
        noteInRecord(index, UploadRecord::State::Failed);
        break;
    case Outcome::Skipped:
    case Outcome::Changed:
        break;
    }
    photo.result = { photo.file, outcome, detail, photo.result.before };
    setStage(index, Stage::Done);
}

void UploadQueue::finishPhoto(int index, Outcome outcome, const QString &detail)
{
    Photo &photo = *m_photos[size_t(index)];
    if (photo.stage == Stage::Done)
        return;
    if (outcome == Outcome::Uploaded)
        setSent(photo, photo.size);
    settle(index, outcome, detail);
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
        m_rateLimitHold.stop();
        QString error;
        // Written before the batch says it is over, and before another
        // host may take the record.
        if (m_place.record && !m_place.record->flush(&error))
            emit recordFailed(error);
        if (m_place.record)
            m_place.record->unlock();
        emit finished();
    }
}

// Each request names the task that sent it: a photo's are its task's. Its
// POST carries the photo; the permission check and a listing of the albums
// before it are GETs.
void UploadQueue::watchReply(QNetworkReply *reply)
{
    if (!m_running || reply->operation() != QNetworkAccessManager::PostOperation)
        return;
    QObject *sender = reply->request().originatingObject();
    const auto owner = std::find_if(m_uploading.cbegin(), m_uploading.cend(), [this, sender](int i) {
        const ITask *task = m_photos[size_t(i)]->task.get();
        return task && static_cast<const QObject *>(task) == sender;
    });
    if (owner == m_uploading.cend()) {
        if (sender)
            m_unclaimed << reply; // its task is still in its factory
        return;
    }
    const int index = *owner;
    Photo &photo = *m_photos[size_t(index)];
    photo.posted = true;
    photo.reply = reply;
    setSent(photo, 0);
    const quint64 batch = m_batch;
    connect(reply, &QNetworkReply::uploadProgress, this, [this, batch, index, reply](qint64 sent, qint64 total) {
        if (batch != m_batch || total <= 0)
            return;
        Photo &photo = *m_photos[size_t(index)];
        if (photo.stage != Stage::Uploading)
            return;
        if (sent >= total)
            noteBodyOut(index);
        if (reply == photo.reply) {
            setSent(photo, std::min(sent, photo.size));
            emit progress(index, sent, total);
        }
    });
}
