#include "BatchJob.h"

#include "plugin/AlbumNames.h"
#include "plugin/PluginHost.h"

#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

// "orvelle.batch": the steps of each batch, and why one ended early.
Q_LOGGING_CATEGORY(lcBatch, "orvelle.batch", QtInfoMsg)

BatchJob::BatchJob(PluginHost *host, int parallel, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_queue(host, parallel)
{
    connect(&m_queue, &UploadQueue::finished, this, [this] { end(QString()); });
}

BatchJob::~BatchJob() = default;

void BatchJob::setStep(Step step)
{
    qCDebug(lcBatch) << "step" << int(m_step) << "->" << int(step);
    m_step = step;
}

void BatchJob::start(const Request &request)
{
    if (isRunning())
        return;
    m_request = request;
    setStep(Step::OpeningRecord);
    if (!m_record) {
        auto record = std::make_unique<UploadRecord>();
        QString error;
        if (!record->open(&error))
            return end(error);
        m_record = std::move(record);
    }
    if (m_request.account.isEmpty())
        askAccount();
    else
        findAlbum();
}

// The record is kept per account: the service's name for it, asked once a
// batch.
void BatchJob::askAccount()
{
    setStep(Step::AskingAccount);
    m_task.reset(m_host->publishing()->newAccountTask(
        [this](const Publishing::Account &account) {
            m_request.account = account.name;
            emit accountKnown(account.name);
            // Not inside the task's callback: the task is replaced.
            QTimer::singleShot(0, this, [this] {
                if (m_step == Step::AskingAccount)
                    findAlbum();
            });
        },
        [this](const TaskFailure &failure) { endWith(failure); }));
}

void BatchJob::findAlbum()
{
    m_task.reset();
    const UploadQueue::Album &album = m_request.album;
    if (album.name.isEmpty() || !album.id.isEmpty())
        return send();
    setStep(Step::FindingAlbum);
    m_task.reset(m_host->publishing()->newAlbumListTask(
        [this](const QList<Publishing::Album> &albums) {
            const QString &name = m_request.album.name;
            const int named = int(std::count_if(albums.cbegin(), albums.cend(),
                                                [&name](const Publishing::Album &a) { return a.name == name; }));
            const auto album = std::find_if(albums.cbegin(), albums.cend(),
                                            [&name](const Publishing::Album &a) { return a.name == name; });
            if (named == 0)
                return end(QStringLiteral("there is no album named \"%1\"").arg(name));
            if (named > 1)
                return end(AlbumNames::sharedText(name, named));
            if (!album->canUpload)
                return end(QStringLiteral("the album \"%1\" takes no uploads").arg(name));
            m_request.album.id = album->id;
            QTimer::singleShot(0, this, [this] {
                if (m_step == Step::FindingAlbum)
                    send();
            });
        },
        [this](const TaskFailure &failure) { endWith(failure); }));
}

void BatchJob::send()
{
    m_task.reset();
    setStep(Step::Sending);
    m_queue.start(m_request.files, m_request.album, m_request.message,
                  { m_record.get(), m_request.account, m_request.again });
}

void BatchJob::cancel()
{
    if (m_step == Step::Sending)
        return m_queue.cancel(); // every photo reported, then the end
    if (isRunning())
        end(QStringLiteral("canceled, nothing sent"));
}

void BatchJob::endWith(const TaskFailure &failure)
{
    end(m_host->failureText(failure));
}

void BatchJob::end(const QString &error)
{
    if (!isRunning())
        return;
    if (!error.isEmpty())
        qCWarning(lcBatch) << error;
    setStep(Step::Done);
    // Later: a task that called back may still be on the stack.
    QTimer::singleShot(0, this, [task = std::shared_ptr<ITask>(m_task.release())] {});
    emit finished(error);
}
