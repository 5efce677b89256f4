// orvelle-host: plays the Orvelle application for a photo plug-in. It loads
// the plug-in library by path, the way Orvelle does, and drives it through
// IPhotoUpload alone, from the command line or from a small window.

#include "cli/CommandRunner.h"
#include "cli/HostOptions.h"
#include "cli/InterruptWatch.h"
#include "plugin/PluginHost.h"

#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "utils/OwnerOnlyFile.h"
#include "window/HostWindow.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

QtMessageHandler s_defaultHandler = nullptr;

// Without --verbose the plug-in's and the web engine's diagnostics stay out
// of the user's way; only critical messages get through.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        s_defaultHandler(type, context, message);
}

void hideDiagnostics()
{
    s_defaultHandler = qInstallMessageHandler(quietMessages);
    // The web engine's own log goes straight to stderr; it reads its
    // switches when it starts, so they are set before anything loads.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --log-level=3";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

// A picture of the screen, or where there is none to read back (offscreen),
// of the top-level windows painted one over the other. With a window given,
// a picture of that window alone.
bool saveScreen(const QString &file, QWidget *window = nullptr)
{
    if (window)
        return window->grab().save(file);
    QScreen *screen = QGuiApplication::primaryScreen();
    QPixmap shot = screen->grabWindow(0);
    if (shot.isNull()) {
        shot = QPixmap(screen->geometry().size());
        shot.fill(Qt::black);
        QPainter painter(&shot);
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            if (window->isVisible())
                painter.drawPixmap(window->pos(), window->grab());
        }
    }
    return shot.save(file);
}

// Without a display (an SSH session, a service) the window system would
// abort the process before it could say anything: the host draws offscreen
// instead, with what the web engine needs there. A platform the user chose
// stays (offscreen chosen by hand is for scripted logins). True when the
// host chose: nobody could see a login window.
bool chooseHeadlessPlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return false;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software"); // Qt 5's engine has no OpenGL context offscreen
    return true;
}

// The files that say who the user is are read only when they are this
// user's regular files (a FIFO planted there would hang every read): the
// user hears once which one is left alone.
void checkCredentialFiles()
{
    for (const QString &path : { Network::CookieJar::filePath(), Settings::filepath() }) {
        QString reason;
        if (!OwnerOnlyFile::isSafeToRead(path, &reason))
            std::fprintf(stderr, "orvelle-host: %s: it is left alone, a login will not be kept\n", qPrintable(reason));
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bool headless = chooseHeadlessPlatform();
    if (!HostOptions::verboseRequested(argc, argv))
        hideDiagnostics();
    // The plug-in's browser window is a web view: required before the app.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Velotri"));
    app.setApplicationName(QStringLiteral("Orvelle"));
    app.setApplicationVersion(QStringLiteral(ORVELLE_VERSION));

    HostOptions options;
    QString error;
    if (!HostOptions::parse(app, &options, &error)) {
        std::fprintf(stderr, "orvelle-host: %s (see orvelle-host --help)\n", qPrintable(error));
        return 2;
    }
    options.loginVisible = options.loginVisible && !headless;
    checkCredentialFiles();
    PluginHost host(options.pluginPath);
    if (!host.load(&error)) {
        std::fprintf(stderr, "orvelle-host: %s\n", qPrintable(error));
        return 2;
    }
    std::unique_ptr<HostWindow> window;
    if (!options.screenshot.isEmpty()) {
        QTimer::singleShot(options.screenshotDelayMs, &app, [&options, &window] {
            const bool saved = saveScreen(options.screenshot, window.get());
            if (!saved)
                std::fprintf(stderr, "orvelle-host: could not save a screenshot to %s\n", qPrintable(options.screenshot));
            QCoreApplication::exit(saved ? 0 : 1);
        });
    }

    if (options.command == HostOptions::Command::Gui) {
        window = std::make_unique<HostWindow>(&host);
        host.setMainWindow(window.get());
        window->addPhotos(options.files);
        window->show();
        window->loadAccount();
        return app.exec();
    }
    // The plug-in's browser window may be the only window: closing it must
    // not end the command.
    app.setQuitOnLastWindowClosed(false);
    CommandRunner runner(&host, options);
    QObject::connect(&runner, &CommandRunner::finished, &app, &QCoreApplication::exit);
    InterruptWatch interrupts;
    QObject::connect(&interrupts, &InterruptWatch::interrupted, &runner, &CommandRunner::interrupt);
    runner.start();
    return app.exec();
}
