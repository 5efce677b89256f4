#ifndef UPLOADQUEUE_H
#define UPLOADQUEUE_H

#include "UploadRecord.h"

#include "preparation/PhotoPreparer.h"
#include "preparation/SourceFile.h"

#include "utils/ITask.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <memory>
#include <set>
#include <vector>

class PluginHost;
class QNetworkReply;
namespace Publishing {
struct Photo;
struct Result;
}

// Uploads a batch of photos through the plug-in, each prepared the way the
// plug-in asks. Photos are prepared on worker threads while others upload,
// at most as many ahead as uploads run at once, so memory and temporary
// files stay bounded however many photos are given; up to `parallel`
// uploads run at once, each its own task. Results are reported in the order
// the photos were given; a photo that fails does not stop the others.
//
// Each photo ends with one outcome, decided from the plug-in's result as
// data. With a record, what it knows at the batch's account and album is
// not sent again (unless `again`), nor a photo at a path sent before whose
// content has changed since; each outcome is written as it arrives, and a
// photo whose whole body went out is written as unknown at once, so a host
// killed before the answer never sends it again unasked. Each request is
// tied to its photo by the task that sent it (the request's originating
// object), so photos start sending as soon as they are ready.
//
// Only regular files are read, and what is sent is what was hashed: a photo
// whose file changed between its digest and its turn ends failed.
//
// When the service limits the rate, the whole batch waits (rateLimitWaitMs),
// sends one photo to see whether the limit has lifted, and goes on; after
// rateLimitWaits waits in a row without a photo through, the photos not
// sent end failed.
class UploadQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxParallel = 3;

    enum class Outcome {
        Uploaded, // the service answered with the stored photo's id
        Failed, // not published: refused, never sent, or stopped before its body was out
        Unknown, // its whole body went out and no answer came: it may have been published
        Skipped, // the record knows it was sent before
        Changed, // held back: its path was sent before, with other content
    };

    struct Result
    {
        QString file;
        Outcome outcome = Outcome::Failed;
        QString detail; // how it was prepared, the error, or what the record knows
        // Skipped or Changed: what the record knew of the earlier sending.
        UploadRecord::State before = UploadRecord::State::Failed;
        bool ok() const { return outcome == Outcome::Uploaded; }
    };

    // The album photos go to (its id; the name for the user's lines); both
    // empty: the application's album.
    using Album = UploadRecord::Album;

    // What goes with each photo beside its bytes.
    struct Options
    {
        QString message; // every photo's, when given
        bool messageGiven = false;
        bool captions = true; // without a message: each photo's own description
        QHash<QString, QString> messages; // by file, over both: what the user wrote for that photo
        bool dates = true; // the photo's capture time dates it on the service
        QString audience;  // who may see the photos (an audience name); empty: the album's audience
        bool keepLocation = false; // otherwise every photo leaves without its location
    };

    // Where the batch goes, for the record: nothing is skipped or noted
    // without one.
    struct Place
    {
        UploadRecord *record = nullptr;
        UploadRecord::Account account;
        bool again = false; // send what the record knows, and new versions of what it knows, all the same
        // What earlier versions recorded under the album's name counts too
        // (not for an album made just now).
        bool withOldRows = true;
    };

    // The whole batch: photos reported, bytes sent of the bytes expected
    // (photos not prepared yet counted at the average of those that are).
    struct Totals
    {
        int done = 0;
        int total = 0;
        qint64 sent = 0;
        qint64 expected = 0;
    };

    static constexpr int defaultRateLimitWaitMs = 60 * 1000;
    static constexpr int maxRateLimitWaits = 10;

    UploadQueue(PluginHost *host, int parallel = 1, QObject *parent = nullptr,
                int rateLimitWaitMs = defaultRateLimitWaitMs, int rateLimitWaits = maxRateLimitWaits);
    ~UploadQueue() override; // stops the uploads and removes every temporary copy

    void start(const QStringList &files, const Album &album, const Options &options, const Place &place);
    // Without a record, one message for every photo.
    void start(const QStringList &files, const Album &album, const QString &message);
    // Stops the running uploads and drops the photos not sent yet; each
    // is reported as canceled, then finished() follows.
    void cancel();

    bool isRunning() const { return m_running; }
    const QList<Result> &results() const { return m_results; }
    int count(Outcome outcome) const;
    // "18 uploaded, 1 failed, 1 may have been published", the counts that are not zero.
    QString summary() const;
    Totals totals() const;

signals:
    void photoPrepared(int index);
    void photoStarted(int index, const QString &file, const QString &preparation);
    void progress(int index, qint64 bytesSent, qint64 bytesTotal);
    void photoFinished(int index, const UploadQueue::Result &result); // in the order given
    void finished();
    void recordFailed(const QString &error); // at the end: what was learnt could not be written
    // The service limits the rate: nothing is sent for that long.
    void rateLimited(int waitSeconds, const QString &message);

private:
    enum class Stage { Waiting, Preparing, Prepared, Uploading, Done };
    struct Photo;

    void advance();
    void prepareInBackground(int index);
    struct Ready;
    struct Known;
    void onPrepared(quint64 batch, int index, const Ready &ready);
    bool checkUnchanged(int index);
    void holdForRateLimit(int index, const Publishing::Result &result);
    void giveUpOnRateLimit(const QString &reason);
    void startUpload(int index);
    void finishPhoto(int index, Outcome outcome, const QString &detail);
    void settle(int index, Outcome outcome, const QString &detail);
    QString knownText(const UploadRecord::Entry &known, const QString &action) const;
    Publishing::Photo publication(const Photo &photo) const;
    void onPublished(int index, const Publishing::Result &result);
    void noteBodyOut(int index);
    void noteInRecord(int index, UploadRecord::State state);
    void endLoginRefused();
    void setStage(int index, Stage stage);
    void setSent(Photo &photo, qint64 sent);
    void reportInOrder();
    void watchReply(QNetworkReply *reply);

    PluginHost *m_host;
    PhotoPreparer m_preparer;
    const int m_parallel;
    Album m_album;
    Options m_options;
    Place m_place;
    // What the record knew when the batch started, shared with the workers.
    std::shared_ptr<const Known> m_known;
    // Raised to stop the batch's workers reading (a cancel, the end).
    std::shared_ptr<std::atomic<bool>> m_stopReading;
    QHash<QByteArray, int> m_digestsSent; // this batch's photos by content
    bool m_loginRefused = false; // the batch's login was declined: nothing more is sent
    // The service limits the rate: nothing starts while the timer runs, then
    // one photo at a time until one goes through.
    const int m_rateLimitWaitMs;
    const int m_rateLimitWaitsAllowed;
    QTimer m_rateLimitHold;
    int m_rateLimitWaits = 0; // in a row, without a photo through
    bool m_probing = false;
    QString m_rateLimitReason; // once the batch gave up: why its photos fail
    quint64 m_batch = 0; // what a late preparation or reply belongs to
    std::vector<std::unique_ptr<Photo>> m_photos;
    int m_inStage[5] = {};
    std::set<int> m_prepared; // ready to upload, first given first
    std::vector<int> m_uploading;
    int m_nextToPrepare = 0;
    int m_nextToReport = 0;
    // Requests the manager showed before their task was known: a factory
    // sends its task's first request before it returns.
    QList<QPointer<QNetworkReply>> m_unclaimed;
    bool m_running = false;
    QList<Result> m_results;
    // Kept as photos move, so that progress costs the same for any batch.
    qint64 m_sent = 0;  // bytes of photos sent whole, and of those on their way
    qint64 m_sizes = 0; // of the photos prepared so far
    int m_sized = 0;
    int m_doneUnsized = 0; // ended before their size was known
    QThreadPool m_workers;
};

#endif // UPLOADQUEUE_H
