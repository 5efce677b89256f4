#include "HostSession.h"

#include "network/CookieJar.h"

#include <QApplication>
#include <QNetworkReply>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

HostSession::HostSession(const QString &pluginPath)
    : m_loader(pluginPath)
    , m_log(new QPlainTextEdit)
    , m_picture(new QLabel)
{
    m_manager.setCookieJar(new Network::CookieJar); // the manager owns it
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(m_picture);
    layout->addWidget(m_log);
    m_log->setReadOnly(true);
    m_window.setCentralWidget(central);
    m_window.setWindowTitle(QStringLiteral("Orvelle (stand-in host)"));
    m_window.resize(520, 400);
}

bool HostSession::load(QString *error)
{
    if (m_loader.metaData().value(QStringLiteral("IID")).toString() != QLatin1String("com.velotri.Orvelle.IPhotoUpload")) {
        *error = QStringLiteral("%1 is not an Orvelle photo plug-in (%2)").arg(m_loader.fileName(), m_loader.errorString());
        return false;
    }
    m_plugin = qobject_cast<IPhotoUpload *>(m_loader.instance());
    if (!m_plugin) {
        *error = m_loader.errorString();
        return false;
    }
    m_plugin->setManager(&m_manager);
    m_plugin->setParentWidget(&m_window);
    const QImage icon = m_plugin->icon(QSize(24, 24))[1];
    m_window.setWindowIcon(QPixmap::fromImage(icon));
    log(QStringLiteral("Loaded the %1 plug-in from %2").arg(m_plugin->name(), m_loader.fileName()));
    return true;
}

void HostSession::addName()
{
    m_steps.push_back([this] {
        log(QStringLiteral("Asking for the user's name..."));
        m_task.reset(m_plugin->newUserNameTask([this](const QString &name) { succeed("Name: " + name); },
                                               [this](const QString &error) { fail(error); }));
    });
}

void HostSession::addPicture(const QSize &size)
{
    m_steps.push_back([this, size] {
        log(QStringLiteral("Asking for the profile picture at %1x%2...").arg(size.width()).arg(size.height()));
        m_task.reset(m_plugin->newUserProfilePictureTask(
            size,
            [this](const QUrl &url) {
                QNetworkReply *reply = m_manager.get(QNetworkRequest(url));
                connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
                    reply->deleteLater();
                    m_picture->setPixmap(QPixmap::fromImage(QImage::fromData(reply->readAll())));
                    succeed("Picture: " + url.toString());
                });
            },
            [this](const QString &error) { fail(error); }));
    });
}

void HostSession::addAlbums()
{
    m_steps.push_back([this] {
        log(QStringLiteral("Listing albums..."));
        m_task.reset(m_plugin->newUserAlbumsTask(
            [this](const IPhotoUpload::Albums &albums) {
                QStringList lines;
                for (const auto &album : albums)
                    lines << QStringLiteral("  %1%2").arg(album.first, album.second ? "" : " (no uploads)");
                succeed(QStringLiteral("%1 albums:\n%2").arg(albums.size()).arg(lines.join('\n')));
            },
            [this](const QString &error) { fail(error); }));
    });
}

void HostSession::addUpload(const QString &file, const QString &album, const QString &message)
{
    m_steps.push_back([this, file, album, message] {
        log(QStringLiteral("Uploading %1 to %2...").arg(file, album.isEmpty() ? "the default album" : album));
        m_task.reset(m_plugin->newUploadTask(file, album, message, [this, file] { succeed("Uploaded " + file); },
                                             [this](const QString &error) { fail(error); }));
    });
}

void HostSession::addShare(const QMap<QString, QString> &texts)
{
    m_steps.push_back([this, texts] {
        log(QStringLiteral("Opening the feed dialog..."));
        // The feed dialog reports only a post; a closed window says nothing.
        m_plugin->tellFriends(texts, [this] { succeed(QStringLiteral("Shared on the timeline")); });
    });
}

void HostSession::scheduleScreenshot(const QString &file, int delayMs)
{
    QTimer::singleShot(delayMs, this, [this, file] {
        QScreen *screen = QGuiApplication::primaryScreen();
        QPixmap shot = screen->grabWindow(0);
        if (shot.isNull()) {
            // No screen to read back (offscreen): paint the windows ourselves,
            // the host's first, then whatever opened over it.
            shot = QPixmap(screen->geometry().size());
            shot.fill(Qt::black);
            QPainter painter(&shot);
            painter.drawPixmap(m_window.pos(), m_window.grab());
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                if (widget != &m_window && widget->isVisible())
                    painter.drawPixmap(widget->pos(), widget->grab());
            }
        }
        const bool saved = shot.save(file);
        log(saved ? "Screenshot saved to " + file : "Error: could not save a screenshot to " + file);
        QCoreApplication::exit(saved ? 0 : 1);
    });
}

void HostSession::start()
{
    m_window.show();
    next();
}

void HostSession::next()
{
    if (m_next == m_steps.size()) {
        QCoreApplication::exit(m_failures ? 1 : 0);
        return;
    }
    m_steps[m_next++]();
}

void HostSession::succeed(const QString &text)
{
    log(text);
    QTimer::singleShot(0, this, &HostSession::next); // not from inside the plug-in's callback
}

void HostSession::fail(const QString &text)
{
    ++m_failures;
    log(QStringLiteral("Error: ") + QString(text).replace(QLatin1String("<br>"), QLatin1String(" ")));
    QTimer::singleShot(0, this, &HostSession::next);
}

void HostSession::log(const QString &text)
{
    m_log->appendPlainText(text);
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}
