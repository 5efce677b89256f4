#ifndef BATCHJOB_H
#define BATCHJOB_H

#include "UploadQueue.h"
#include "UploadRecord.h"

#include "FacebookPluginQt5/IPhotoPublishing.h"
#include "utils/ITask.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <memory>

class PluginHost;
struct TaskFailure;

// One batch of photos from start to end, the same for the command line and
// the window:
//
//   start -> OpeningRecord -> AskingAccount -> FindingAlbum -> [CreatingAlbum] -> Sending -> Done
//
// The record of sent photos is opened (once for the job's life), the
// account asked for (the service's id for it keys the record, with the
// service's origin: a rename changes nothing, and two accounts of one name
// never share), the album found (by its name: it must be the one album of
// that name; by its id; either must take uploads) or, for a new album,
// its name checked to be free and the album created, once; then the queue
// sends. Each step that fails ends the job with one line and sends nothing.
class BatchJob : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QStringList files;
        // Chosen from a list (the window): id and name. By name or by id
        // alone (the command line): looked up first. Both empty: the
        // application's album.
        UploadQueue::Album album;
        // An album to create and send to instead, when it has a name.
        Publishing::NewAlbum newAlbum;
        UploadQueue::Options options;
        bool again = false;  // send what the record knows as well
    };

    enum class Step { Idle, OpeningRecord, AskingAccount, FindingAlbum, CreatingAlbum, Sending, Done };

    BatchJob(PluginHost *host, int parallel, QObject *parent = nullptr,
             int rateLimitWaitMs = UploadQueue::defaultRateLimitWaitMs);
    ~BatchJob() override;

    void start(const Request &request);
    // Before the photos go: ends the job, nothing sent. While they go: the
    // queue's cancel (each photo reported).
    void cancel();

    bool isRunning() const { return m_step != Step::Idle && m_step != Step::Done; }
    Step step() const { return m_step; }
    // The album the photos go to, as the service listed it (or as it was
    // created); only id and name when it was chosen from a list.
    const Publishing::Album &album() const { return m_album; }
    // The photos' progress and outcomes, while Sending.
    UploadQueue *queue() { return &m_queue; }

signals:
    void accountKnown(const QString &name);
    void albumCreated(const Publishing::Album &album);
    // The end. error: why the job ended before sending (one line), or empty
    // once the queue has reported every photo.
    void finished(const QString &error);

private:
    void setStep(Step step);
    void askAccount();
    void findAlbum();
    QString chooseAlbum(const QList<Publishing::Album> &albums);
    void createAlbum();
    void send();
    void end(const QString &error);
    void endWith(const TaskFailure &failure);

    PluginHost *m_host;
    Step m_step = Step::Idle;
    Request m_request;
    std::unique_ptr<ITask> m_task; // the account's or the albums' query
    QHash<const QObject *, QString> m_origins; // of the requests sent while asking, by their task
    UploadRecord::Account m_account;
    Publishing::Album m_album;
    bool m_albumCreated = false; // by this job: the record knows nothing of it
    bool m_albumNameShared = false; // another album has its name
    std::unique_ptr<UploadRecord> m_record;
    UploadQueue m_queue; // after the record: it writes there until it goes
};

#endif // BATCHJOB_H
