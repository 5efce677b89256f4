#include "CommandRunner.h"

#include "batch/UploadRecord.h"
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
    if (m_ended || m_options.command == QLatin1String("share"))
        return;
    if (!m_options.loginVisible) {
        printError(QStringLiteral("a login is needed: run `orvelle-host login` where a window can open"));
        if (m_uploads && m_uploads->isRunning())
            return m_uploads->cancel(); // every photo's line and the summary, then the end
        finish(false);
        return;
    }
    if (!m_toldLogin) {
        m_toldLogin = true;
        m_progress.clear();
        std::fprintf(stderr, "orvelle-host: Logging in: a window is open\n");
        std::fflush(stderr);
    }
}

CommandRunner::~CommandRunner() = default;

void CommandRunner::start()
{
    const QString &command = m_options.command;
    if (command == QLatin1String("login"))
        login();
    else if (command == QLatin1String("whoami"))
        whoami();
    else if (command == QLatin1String("albums"))
        albums();
    else if (command == QLatin1String("upload"))
        upload();
    else if (command == QLatin1String("share"))
        share();
    else if (command == QLatin1String("logout"))
        logout();
}

// The login the other commands need: the album listing asks for
// user_photos; an upload of a file that cannot exist asks for photo_upload
// and then fails on the file, before anything is sent.
void CommandRunner::login()
{
    IPhotoUpload *plugin = m_host->plugin();
    const auto failed = [this](const QString &error) { fail(error); };
    m_task.reset(plugin->newUserAlbumsTask(
        [this, plugin, failed](const IPhotoUpload::Albums &) {
            QTimer::singleShot(0, this, [this, plugin, failed] {
                const QString probe = QStringLiteral("/nonexistent/orvelle-login-probe.jpg");
                m_task.reset(plugin->newUploadTask(
                    probe, QString(), QString(), [this] { finish(true); },
                    [this, probe, failed](const QString &error) {
                        if (error != QStringLiteral("Can't find %1").arg(probe))
                            return failed(error);
                        print(QStringLiteral("Logged in"));
                        m_json.insert(QStringLiteral("logged_in"), true);
                        finish(true);
                    }));
            });
        },
        failed));
}

void CommandRunner::whoami()
{
    IPhotoUpload *plugin = m_host->plugin();
    m_task.reset(plugin->newUserNameTask(
        [this, plugin](const QString &name) {
            m_json.insert(QStringLiteral("name"), name);
            print(name);
            // Replacing the name task here would delete it inside its own
            // callback: the picture task starts on the next turn.
            QTimer::singleShot(0, this, [this, plugin] {
                m_task.reset(plugin->newUserProfilePictureTask(
                    m_options.pictureSize,
                    [this](const QUrl &url) {
                        m_json.insert(QStringLiteral("picture"), url.toString());
                        print(QStringLiteral("Profile picture: ") + url.toString());
                        finish(true);
                    },
                    [this](const QString &error) { fail(error); }));
            });
        },
        [this](const QString &error) { fail(error); }));
}

void CommandRunner::albums()
{
    m_task.reset(m_host->plugin()->newUserAlbumsTask(
        [this](const IPhotoUpload::Albums &albums) {
            const QHash<QString, int> named = AlbumNames::counts(albums);
            QJsonArray list;
            for (const auto &album : albums) {
                const int sharing = named.value(album.first);
                QJsonObject item { { "name", album.first }, { "can_upload", album.second && sharing == 1 } };
                QString line = album.first;
                if (sharing > 1) {
                    item.insert(QStringLiteral("shared_name"), true);
                    line += QStringLiteral("  (%1)").arg(AlbumNames::sharedText(album.first, sharing));
                } else if (!album.second) {
                    line += QStringLiteral("  (takes no uploads)");
                }
                list.append(item);
                print(line);
            }
            m_json.insert(QStringLiteral("albums"), list);
            finish(true);
        },
        [this](const QString &error) { fail(error); }));
}

void CommandRunner::upload()
{
    QString error;
    m_record = std::make_unique<UploadRecord>();
    if (!m_record->open(&error))
        return fail(error);
    m_uploads = std::make_unique<UploadQueue>(m_host->plugin(), m_host->manager(), m_options.parallel);
    m_progress.begin(QString());
    const auto showBatch = [this] {
        const UploadQueue::Totals batch = m_uploads->totals();
        m_progress.setLabel(QStringLiteral("%1 of %2 photos").arg(batch.done).arg(batch.total));
        m_progress.update(batch.sent, batch.expected);
    };
    connect(m_uploads.get(), &UploadQueue::progress, this, showBatch);
    connect(m_uploads.get(), &UploadQueue::photoFinished, this, [this, showBatch](int, const UploadQueue::Result &result) {
        reportPhoto(result);
        showBatch();
    });
    connect(m_uploads.get(), &UploadQueue::recordFailed, this,
            [this](const QString &error) { printError(error + QStringLiteral(": a second run may send these photos again")); });
    connect(m_uploads.get(), &UploadQueue::finished, this, &CommandRunner::reportBatch);
    // The record is kept per account: the service's name for it, asked
    // once a batch; then the album, found by its name.
    m_task.reset(m_host->plugin()->newUserNameTask(
        [this](const QString &account) {
            m_account = account;
            QTimer::singleShot(0, this, [this] { m_options.album.isEmpty() ? startBatch() : findAlbumThenStart(); });
        },
        [this](const QString &error) { fail(error); }));
}

void CommandRunner::findAlbumThenStart()
{
    m_task.reset(m_host->plugin()->newUserAlbumsTask(
        [this](const IPhotoUpload::Albums &albums) {
            const int named = int(std::count_if(albums.cbegin(), albums.cend(),
                                                 [this](const auto &a) { return a.first == m_options.album; }));
            const auto album = std::find_if(albums.cbegin(), albums.cend(),
                                            [this](const auto &a) { return a.first == m_options.album; });
            if (named != 1 || !album->second) {
                printError(named == 0   ? QStringLiteral("there is no album named \"%1\"").arg(m_options.album)
                               : named > 1 ? AlbumNames::sharedText(m_options.album, named)
                                           : QStringLiteral("the album \"%1\" takes no uploads").arg(m_options.album));
                return finish(false);
            }
            QTimer::singleShot(0, this, &CommandRunner::startBatch);
        },
        [this](const QString &error) { fail(error); }));
}

void CommandRunner::startBatch()
{
    m_task.reset(); // not from inside its callback: this runs a turn later
    m_uploads->start(m_options.files, m_options.album, m_options.message,
                     { m_record.get(), m_account, m_options.again });
}

void CommandRunner::reportPhoto(const UploadQueue::Result &result)
{
    switch (result.outcome) {
    case UploadQueue::Outcome::Uploaded:
        return print(QStringLiteral("Uploaded %1 (%2)").arg(result.file, result.detail));
    case UploadQueue::Outcome::Skipped:
        return print(QStringLiteral("%1: %2; --again sends it again").arg(result.file, result.detail));
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
    case UploadQueue::Outcome::Skipped:
        break;
    }
    return QStringLiteral("skipped");
}

void CommandRunner::reportBatch()
{
    QJsonArray list;
    for (const UploadQueue::Result &result : m_uploads->results()) {
        const bool fine = result.outcome == UploadQueue::Outcome::Uploaded || result.outcome == UploadQueue::Outcome::Skipped;
        QJsonObject item { { "file", result.file }, { "ok", fine }, { "outcome", outcomeName(result.outcome) } };
        const char *detailKey = result.outcome == UploadQueue::Outcome::Uploaded ? "prepared"
            : result.outcome == UploadQueue::Outcome::Skipped                    ? "known"
                                                                                  : "error";
        item.insert(QLatin1String(detailKey), result.detail);
        list.append(item);
    }
    const int uploaded = m_uploads->count(UploadQueue::Outcome::Uploaded);
    const int failed = m_uploads->count(UploadQueue::Outcome::Failed);
    const int unknown = m_uploads->count(UploadQueue::Outcome::Unknown);
    const int skipped = m_uploads->count(UploadQueue::Outcome::Skipped);
    m_json.insert(QStringLiteral("uploads"), list);
    m_json.insert(QStringLiteral("uploaded"), uploaded);
    m_json.insert(QStringLiteral("failed"), failed);
    m_json.insert(QStringLiteral("unknown"), unknown);
    m_json.insert(QStringLiteral("skipped"), skipped);
    print(m_uploads->summary());
    finish(failed == 0 && unknown == 0);
}

void CommandRunner::interrupt()
{
    if (m_uploads && m_uploads->isRunning()) {
        m_uploads->cancel(); // reports every photo, then the summary
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

// A service that could not be reached (no HTTP status) is named, and the
// sandbox build's user is told what it needs.
QString CommandRunner::withWhere(const QString &line) const
{
    if (!line.contains(QLatin1String("Http #0<br>")) || m_host->manager()->lastOrigin().isEmpty())
        return line;
    QString text = line + QStringLiteral(" (the service at %1").arg(m_host->manager()->lastOrigin());
    if (QFileInfo(m_host->libraryPath()).fileName().contains(QLatin1String("Sandbox")))
        text += QStringLiteral("; is orvelle-sandbox running? start it with: orvelle-sandbox");
    return text + QLatin1Char(')');
}

void CommandRunner::printError(const QString &reason)
{
    if (m_ended)
        return;
    const QString line = withWhere(reason);
    if (m_options.json && !m_json.contains(QStringLiteral("error")))
        m_json.insert(QStringLiteral("error"), plainText(line)); // the first reason, as stderr says it
    m_progress.clear();
    std::fprintf(stderr, "orvelle-host: %s\n", terminalText(plainText(line)).toLocal8Bit().constData());
    std::fflush(stderr);
}

void CommandRunner::fail(const QString &reason)
{
    printError(reason);
    finish(false);
}

void CommandRunner::finish(bool ok)
{
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
    QTimer::singleShot(0, this, [this, ok] { emit finished(ok ? 0 : 1); });
}
