#include "CommandRunner.h"

#include "plugin/AlbumNames.h"
#include "plugin/PlainText.h"
#include "plugin/PluginHost.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <utility>
#include <cstdio>

CommandRunner::CommandRunner(PluginHost *host, HostOptions options, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_options(std::move(options))
    , m_progress(stderr)
    , m_dialogWatch(nullptr)
{
    qApp->installEventFilter(this);
}

bool CommandRunner::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow())
        QTimer::singleShot(0, this, &CommandRunner::onWindowShown); // not inside the window's own show()
    return false;
}

void CommandRunner::onWindowShown()
{
    if (m_ended || m_options.command == HostOptions::Command::Share)
        return;
    if (!m_options.loginVisible) {
        printError(QStringLiteral("a login is needed: run `orvelle-host login` where a window can open"));
        if (m_batch && m_batch->step() == BatchJob::Step::Sending)
            return m_batch->cancel(); // every photo's line and the summary, then the end
        finish(false);
        return;
    }
    if (!std::exchange(m_toldLogin, true))
        printNotice(QStringLiteral("Logging in: a window is open"));
}

CommandRunner::~CommandRunner() = default;

void CommandRunner::start()
{
    using Command = HostOptions::Command;
    switch (m_options.command) {
    case Command::Login:
        return login();
    case Command::WhoAmI:
        return whoami();
    case Command::Albums:
        return albums();
    case Command::CreateAlbum:
        return createAlbum();
    case Command::Upload:
        return upload();
    case Command::Share:
        return share();
    case Command::Logout:
        return logout();
    case Command::Gui:
        break; // the window's, not a command's
    }
}

// The login the other commands need: the album listing asks for
// user_photos; a photo that cannot exist asks for photo_upload and then
// fails on the file, before anything is sent.
void CommandRunner::login()
{
    IPhotoPublishing *publishing = m_host->publishing();
    m_task.reset(publishing->newAlbumListTask(
        [this, publishing](const QList<Publishing::Album> &) {
            QTimer::singleShot(0, this, [this, publishing] {
                const QString probe = QStringLiteral("/nonexistent/orvelle-login-probe.jpg");
                m_task.reset(publishing->newPublishTask({ probe, QString(), QString(), {} }, [this](const Publishing::Result &result) {
                    if (result.failure.kind != TaskFailure::Kind::FileUnreadable)
                        return fail(result.failure);
                    print(QStringLiteral("Logged in"));
                    m_json.insert(QStringLiteral("logged_in"), true);
                    finish(true);
                }));
            });
        },
        [this](const TaskFailure &failure) { fail(failure); }));
}

void CommandRunner::whoami()
{
    m_task.reset(m_host->publishing()->newAccountTask(
        [this](const Publishing::Account &account) {
            m_json.insert(QStringLiteral("name"), account.name);
            m_json.insert(QStringLiteral("id"), account.id);
            print(account.name);
            // Replacing the name task here would delete it inside its own
            // callback: the picture task starts on the next turn.
            QTimer::singleShot(0, this, [this] {
                m_task.reset(m_host->plugin()->newUserProfilePictureTask(
                    m_options.pictureSize,
                    [this](const QUrl &url) {
                        m_json.insert(QStringLiteral("picture"), url.toString());
                        print(QStringLiteral("Profile picture: ") + url.toString());
                        finish(true);
                    },
                    [this](const QString &error) { fail(error); }));
            });
        },
        [this](const TaskFailure &failure) { fail(failure); }));
}

void CommandRunner::albums()
{
    m_task.reset(m_host->publishing()->newAlbumListTask(
        [this](const QList<Publishing::Album> &albums) {
            const QHash<QString, int> named = AlbumNames::counts(albums);
            QJsonArray list;
            for (const Publishing::Album &album : albums) {
                const bool shared = named.value(album.name) > 1;
                const QString description = album.details.value(QStringLiteral("description")).toString();
                const QString audience = album.details.value(QStringLiteral("audience")).toString();
                QJsonObject item { { "id", album.id }, { "name", album.name }, { "can_upload", album.canUpload },
                                   { "description", description }, { "audience", audience } };
                // Ids where the names alone would not tell the albums apart.
                QStringList about;
                if (shared) {
                    item.insert(QStringLiteral("shared_name"), true);
                    about << QStringLiteral("id %1").arg(album.id);
                }
                if (!description.isEmpty())
                    about << description;
                if (!audience.isEmpty())
                    about << AlbumNames::audienceText(audience);
                if (album.details.contains(QStringLiteral("count"))) {
                    const int count = album.details.value(QStringLiteral("count")).toInt();
                    item.insert(QStringLiteral("count"), count);
                    about << (count == 1 ? QStringLiteral("1 photo") : QStringLiteral("%1 photos").arg(count));
                }
                if (!album.canUpload)
                    about << QStringLiteral("takes no uploads");
                list.append(item);
                print(about.isEmpty() ? album.name : QStringLiteral("%1  (%2)").arg(album.name, about.join(QStringLiteral(", "))));
            }
            m_json.insert(QStringLiteral("albums"), list);
            finish(true);
        },
        [this](const TaskFailure &failure) { fail(failure); }));
}

// Once: not when an album has that name already (the same command run
// twice makes one album).
void CommandRunner::createAlbum()
{
    IPhotoPublishing2 *publishing = m_host->albumPublishing();
    if (!publishing)
        return fail(QStringLiteral("%1 cannot create albums").arg(m_host->libraryPath()));
    const Publishing::NewAlbum wanted { m_options.newAlbum, m_options.albumDescription, m_options.audience };
    m_task.reset(publishing->newAlbumListTask(
        [this, publishing, wanted](const QList<Publishing::Album> &albums) {
            const QList<Publishing::Album> namesakes = AlbumNames::namesakes(albums, wanted.name);
            if (!namesakes.isEmpty())
                return fail(AlbumNames::existsText(namesakes));
            QTimer::singleShot(0, this, [this, publishing, wanted] {
                m_task.reset(publishing->newCreateAlbumTask(
                    wanted,
                    [this](const Publishing::Album &album) {
                        m_json.insert(QStringLiteral("id"), album.id);
                        m_json.insert(QStringLiteral("name"), album.name);
                        print(QStringLiteral("Created the album \"%1\" (id %2)").arg(album.name, album.id));
                        finish(true);
                    },
                    [this, wanted](const TaskFailure &failure) {
                        if (!failure.maybeActedOn)
                            return fail(failure);
                        printError(QStringLiteral("the album \"%1\" may have been created (%2): look at your "
                                                  "albums before asking again")
                                       .arg(wanted.name, m_host->failureText(failure)));
                        finish(ExitStatus::MayHaveBeenPublished);
                    }));
            });
        },
        [this](const TaskFailure &failure) { fail(failure); }));
}

void CommandRunner::upload()
{
    m_batch = std::make_unique<BatchJob>(m_host, m_options.parallel);
    UploadQueue *queue = m_batch->queue();
    m_progress.begin(QString());
    const auto showBatch = [this, queue] {
        const UploadQueue::Totals batch = queue->totals();
        m_progress.setLabel(QStringLiteral("%1 of %2 photos").arg(batch.done).arg(batch.total));
        m_progress.update(batch.sent, batch.expected);
    };
    connect(queue, &UploadQueue::progress, this, showBatch);
    connect(queue, &UploadQueue::photoFinished, this, [this, showBatch](int, const UploadQueue::Result &result) {
        reportPhoto(result);
        showBatch();
    });
    connect(queue, &UploadQueue::recordFailed, this,
            [this](const QString &error) { printError(error + QStringLiteral(": a second run may send these photos again")); });
    connect(queue, &UploadQueue::rateLimited, this, [this](int seconds) {
        if (!std::exchange(m_toldRateLimit, true))
            printNotice(QStringLiteral("the service limits how fast photos may be sent: waiting %1 s").arg(seconds));
    });
    connect(m_batch.get(), &BatchJob::finished, this, &CommandRunner::reportBatch);
    connect(m_batch.get(), &BatchJob::albumCreated, this, [this](const Publishing::Album &album) {
        m_json.insert(QStringLiteral("created_album"), album.id);
        print(QStringLiteral("Created the album \"%1\" (id %2)").arg(album.name, album.id));
    });
    BatchJob::Request request;
    request.files = m_options.files;
    request.album = { m_options.albumId, m_options.album };
    request.again = m_options.again;
    UploadQueue::Options &sending = request.options;
    sending.message = m_options.message;
    sending.messageGiven = m_options.messageGiven;
    sending.captions = m_options.captions;
    sending.dates = m_options.dates;
    sending.keepLocation = m_options.keepLocation;
    if (m_options.newAlbum.isEmpty())
        sending.audience = m_options.audience;
    else // the album's: its photos take it
        request.newAlbum = { m_options.newAlbum, m_options.albumDescription, m_options.audience };
    m_batch->start(request);
}

void CommandRunner::reportPhoto(const UploadQueue::Result &result)
{
    switch (result.outcome) {
    case UploadQueue::Outcome::Uploaded:
        return print(QStringLiteral("Uploaded %1 (%2)").arg(result.file, result.detail));
    case UploadQueue::Outcome::Skipped:
        return print(QStringLiteral("%1: %2; --again sends it again").arg(result.file, result.detail));
    case UploadQueue::Outcome::Changed:
        return print(QStringLiteral("%1 %2").arg(result.file, result.detail));
    case UploadQueue::Outcome::Unknown:
        return printError(QStringLiteral("%1: %2").arg(result.file, result.detail));
    case UploadQueue::Outcome::Failed:
        return printError(QStringLiteral("%1: not published: %2").arg(result.file, result.detail));
    }
}

QString CommandRunner::outcomeName(UploadQueue::Outcome outcome)
{
    switch (outcome) {
    case UploadQueue::Outcome::Uploaded:
        return QStringLiteral("uploaded");
    case UploadQueue::Outcome::Failed:
        return QStringLiteral("failed");
    case UploadQueue::Outcome::Unknown:
        return QStringLiteral("unknown");
    case UploadQueue::Outcome::Changed:
        return QStringLiteral("changed");
    case UploadQueue::Outcome::Skipped:
        break;
    }
    return QStringLiteral("skipped");
}

void CommandRunner::reportBatch(const QString &error)
{
    if (!error.isEmpty())
        return fail(error);
    const UploadQueue *queue = m_batch->queue();
    QJsonArray list;
    for (const UploadQueue::Result &result : queue->results()) {
        const bool fine = result.outcome == UploadQueue::Outcome::Uploaded || result.outcome == UploadQueue::Outcome::Skipped;
        QJsonObject item { { "file", result.file }, { "ok", fine }, { "outcome", outcomeName(result.outcome) } };
        const char *detailKey = result.outcome == UploadQueue::Outcome::Uploaded ? "prepared"
            : result.outcome == UploadQueue::Outcome::Skipped || result.outcome == UploadQueue::Outcome::Changed
            ? "known"
            : "error";
        item.insert(QLatin1String(detailKey), result.detail);
        list.append(item);
    }
    const int uploaded = queue->count(UploadQueue::Outcome::Uploaded);
    const int failed = queue->count(UploadQueue::Outcome::Failed);
    const int unknown = queue->count(UploadQueue::Outcome::Unknown);
    const int skipped = queue->count(UploadQueue::Outcome::Skipped);
    const int changed = queue->count(UploadQueue::Outcome::Changed);
    const auto &results = queue->results();
    const bool unknownBefore = std::any_of(results.cbegin(), results.cend(), [](const UploadQueue::Result &result) {
        return result.outcome == UploadQueue::Outcome::Skipped && result.before == UploadRecord::State::Unknown;
    });
    m_json.insert(QStringLiteral("uploads"), list);
    m_json.insert(QStringLiteral("uploaded"), uploaded);
    m_json.insert(QStringLiteral("failed"), failed);
    m_json.insert(QStringLiteral("unknown"), unknown);
    m_json.insert(QStringLiteral("skipped"), skipped);
    m_json.insert(QStringLiteral("changed"), changed);
    // Photos seen by others than their album's audience say so.
    const QString albumAudience = m_batch->album().details.value(QStringLiteral("audience")).toString();
    const QString &audience = m_options.newAlbum.isEmpty() ? m_options.audience : QString();
    if (!audience.isEmpty())
        m_json.insert(QStringLiteral("audience"), audience);
    if (!audience.isEmpty() && audience != albumAudience && uploaded > 0)
        print(QStringLiteral("%1; the photos are seen by %2, not the album's audience%3")
                  .arg(queue->summary(), AlbumNames::audienceText(audience),
                       albumAudience.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(AlbumNames::audienceText(albumAudience))));
    else
        print(queue->summary());
    // 0: every photo is on the service; 3: none failed, but some may be.
    if (failed > 0 || changed > 0)
        return finish(ExitStatus::Failed);
    finish(unknown > 0 || unknownBefore ? ExitStatus::MayHaveBeenPublished : ExitStatus::Done);
}

void CommandRunner::interrupt()
{
    if (m_batch && m_batch->step() == BatchJob::Step::Sending) {
        m_batch->cancel(); // reports every photo, then the summary
        return;
    }
    printError(QStringLiteral("interrupted"));
    finish(false);
}

void CommandRunner::share()
{
    connect(&m_dialogWatch, &DialogCloseWatch::closed, this, [this] {
        printError(QStringLiteral("The feed dialog was closed without sharing."));
        finish(false);
    });
    m_dialogWatch.start();
    m_host->plugin()->tellFriends(m_options.post, [this] {
        m_dialogWatch.stop();
        m_json.insert(QStringLiteral("shared"), true);
        print(QStringLiteral("Shared on the timeline"));
        finish(true);
    });
}

// The plug-in logs out: the token, the service's cookies in the host's jar
// and in the web browser's store. The record of sent photos stays: it
// belongs to the account, not to the login.
void CommandRunner::logout()
{
    IServiceAccount *account = m_host->account();
    if (!account) {
        printError(QStringLiteral("%1 cannot log out").arg(m_host->libraryPath()));
        return finish(false);
    }
    account->logOut([this](const QString &error) {
        if (error.isEmpty())
            print(QStringLiteral("Logged out"));
        else
            printError(error);
        m_json.insert(QStringLiteral("logged_out"), error.isEmpty());
        finish(error.isEmpty());
    });
}

void CommandRunner::print(const QString &line)
{
    if (m_options.json || m_ended)
        return;
    m_progress.clear();
    std::printf("%s\n", terminalText(line).toLocal8Bit().constData());
    std::fflush(stdout);
}

// A line on stderr that is no error: --json's document does not take it.
void CommandRunner::printNotice(const QString &line)
{
    if (m_ended)
        return;
    m_progress.clear();
    std::fprintf(stderr, "orvelle-host: %s\n", terminalText(line).toLocal8Bit().constData());
    std::fflush(stderr);
}

void CommandRunner::printError(const QString &reason)
{
    if (m_ended)
        return;
    const QString &line = reason;
    if (m_options.json && !m_json.contains(QStringLiteral("error")))
        m_json.insert(QStringLiteral("error"), plainText(line)); // the first reason, as stderr says it
    m_progress.clear();
    std::fprintf(stderr, "orvelle-host: %s\n", terminalText(plainText(line)).toLocal8Bit().constData());
    std::fflush(stderr);
}

void CommandRunner::fail(const TaskFailure &failure)
{
    fail(m_host->failureText(failure));
}

void CommandRunner::fail(const QString &reason)
{
    printError(reason);
    finish(false);
}

void CommandRunner::finish(bool ok)
{
    finish(ok ? ExitStatus::Done : ExitStatus::Failed);
}

void CommandRunner::finish(ExitStatus status)
{
    const bool ok = status == ExitStatus::Done;
    if (m_ended)
        return;
    m_ended = true;
    m_progress.clear();
    if (m_options.json) {
        m_json.insert(QStringLiteral("ok"), ok);
        std::printf("%s", QJsonDocument(m_json).toJson(QJsonDocument::Indented).constData());
        std::fflush(stdout);
    }
    // Later: the task that called back may still be on the stack.
    QTimer::singleShot(0, this, [this, status] { emit finished(int(status)); });
}
