#include "BatchJob.h"

#include "plugin/AlbumNames.h"
#include "plugin/PluginHost.h"

#include <QNetworkReply>

#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <iterator>

// "orvelle.batch": the steps of each batch, and why one ended early.
Q_LOGGING_CATEGORY(lcBatch, "orvelle.batch", QtInfoMsg)

BatchJob::BatchJob(PluginHost *host, int parallel, QObject *parent, int rateLimitWaitMs)
    : QObject(parent)
    , m_host(host)
    , m_queue(host, parallel, nullptr, rateLimitWaitMs)
{
    connect(&m_queue, &UploadQueue::finished, this, [this] { end(QString()); });
    // Which service answered for the account: the origin its request went to.
    connect(host->manager(), &WatchedNetworkManager::replyStarted, this, [this](QNetworkReply *reply) {
        if (m_step == Step::AskingAccount)
            m_origins.insert(reply->request().originatingObject(), WatchedNetworkManager::originOf(reply->url()));
    });
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
    m_album = { request.album.id, request.album.name, false, {} };
    m_albumCreated = false;
    m_albumNameShared = false;
    setStep(Step::OpeningRecord);
    if (!m_record) {
        auto record = std::make_unique<UploadRecord>();
        QString error;
        if (!record->open(&error))
            return end(error);
        m_record = std::move(record);
    }
    askAccount();
}

// The record is kept per account: the service's id for it, asked once a
// batch.
void BatchJob::askAccount()
{
    setStep(Step::AskingAccount);
    m_origins.clear();
    m_task.reset(m_host->publishing()->newAccountTask(
        [this](const Publishing::Account &account) {
            const QString service = m_origins.value(m_task.get());
            // A proxy's page, or a service that changed its answer: the
            // batch would be recorded under nobody.
            if (account.id.isEmpty() || account.name.isEmpty())
                return end(QStringLiteral("the service did not say which account this is (no %1 in its answer)")
                               .arg(account.id.isEmpty() ? QStringLiteral("id") : QStringLiteral("name")));
            if (service.isEmpty())
                return end(QStringLiteral("the service's answer for the account came from nowhere the host sent to"));
            m_account = { service, account.id };
            QString error;
            if (!m_record->adopt(m_account, account.name, &error))
                return end(error);
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
    const bool creating = !m_request.newAlbum.name.isEmpty();
    // Even one chosen from a list: it may be gone, and whether another
    // album has its name decides what the record's older rows say of it.
    if (!creating && album.id.isEmpty() && album.name.isEmpty())
        return send(); // the application's album
    setStep(Step::FindingAlbum);
    m_task.reset(m_host->publishing()->newAlbumListTask(
        [this](const QList<Publishing::Album> &albums) {
            const QString refusal = chooseAlbum(albums);
            if (!refusal.isEmpty())
                return end(refusal);
            QTimer::singleShot(0, this, [this] {
                if (m_step != Step::FindingAlbum)
                    return;
                if (m_request.newAlbum.name.isEmpty())
                    send();
                else
                    createAlbum();
            });
        },
        [this](const TaskFailure &failure) { endWith(failure); }));
}

// The album the request means, from the user's albums; why none, as one
// line. A new album's name must be free: the same command run twice makes
// one album, not two.
QString BatchJob::chooseAlbum(const QList<Publishing::Album> &albums)
{
    const Publishing::NewAlbum &newAlbum = m_request.newAlbum;
    UploadQueue::Album &wanted = m_request.album;
    const QString name = newAlbum.name.isEmpty() ? wanted.name : newAlbum.name;
    QList<Publishing::Album> found;
    std::copy_if(albums.cbegin(), albums.cend(), std::back_inserter(found), [&](const Publishing::Album &album) {
        return newAlbum.name.isEmpty() && !wanted.id.isEmpty() ? album.id == wanted.id : album.name == name;
    });
    if (!newAlbum.name.isEmpty()) {
        const QList<Publishing::Album> namesakes = AlbumNames::namesakes(albums, newAlbum.name);
        return namesakes.isEmpty() ? QString() : AlbumNames::existsText(namesakes);
    }
    if (found.isEmpty())
        return wanted.id.isEmpty() ? QStringLiteral("there is no album named \"%1\"").arg(name)
                                   : QStringLiteral("there is no album with the id %1").arg(wanted.id);
    if (found.size() > 1)
        return AlbumNames::sharedText(name, found);
    if (!found.first().canUpload)
        return QStringLiteral("the album \"%1\" takes no uploads").arg(found.first().name);
    wanted = { found.first().id, found.first().name };
    m_album = found.first();
    m_albumNameShared = AlbumNames::counts(albums).value(m_album.name) > 1;
    return QString();
}

void BatchJob::createAlbum()
{
    m_task.reset();
    IPhotoPublishing2 *publishing = m_host->albumPublishing();
    if (!publishing)
        return end(QStringLiteral("this plug-in cannot create albums"));
    setStep(Step::CreatingAlbum);
    m_task.reset(publishing->newCreateAlbumTask(
        m_request.newAlbum,
        [this](const Publishing::Album &album) {
            m_request.album = { album.id, album.name };
            m_album = album;
            m_albumCreated = true;
            emit albumCreated(album);
            QTimer::singleShot(0, this, [this] {
                if (m_step == Step::CreatingAlbum)
                    send();
            });
        },
        [this](const TaskFailure &failure) {
            if (!failure.maybeActedOn)
                return endWith(failure);
            end(QStringLiteral("the album \"%1\" may have been created (%2): look at your albums before "
                               "asking again; nothing sent")
                    .arg(m_request.newAlbum.name, m_host->failureText(failure)));
        }));
}

void BatchJob::send()
{
    m_task.reset();
    // Rows of earlier versions keyed by the album's name: an album alone
    // with its name takes them; two of one name both count them; an album
    // made just now has none.
    QString error;
    if (!m_albumCreated && !m_albumNameShared && !m_record->adoptAlbum(m_account, m_request.album, &error))
        return end(error);
    setStep(Step::Sending);
    m_queue.start(m_request.files, m_request.album, m_request.options,
                  { m_record.get(), m_account, m_request.again, !m_albumCreated });
}

void BatchJob::cancel()
{
    if (m_step == Step::Sending)
        return m_queue.cancel(); // every photo reported, then the end
    if (m_step == Step::CreatingAlbum)
        return end(QStringLiteral("canceled, nothing sent; the album \"%1\" may have been created: look at your "
                                  "albums before asking again")
                       .arg(m_request.newAlbum.name));
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
