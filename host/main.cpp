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

#include <QLoggingCategory>

#include <cstdio>
#include <dlfcn.h>
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

// Whether the X server that DISPLAY names answers. Asked through the
// library Qt's own X platform uses, loaded only for this; when it cannot be
// loaded the answer is yes, and Qt finds out.
bool xDisplayAnswers()
{
    void *xcb = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!xcb)
        return true;
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = true;
    if (connect && hasError && disconnect) {
        void *connection = connect(nullptr, nullptr);
        answers = hasError(connection) == 0;
        disconnect(connection);
    }
    ::dlclose(xcb);
    return answers;
}

// Without a display (an SSH session, a service), or with one that does not
// answer (a DISPLAY left by a stale terminal multiplexer), the window system
// would abort the process before it could say anything: the host draws
// offscreen instead, with what the web engine needs there. A platform the
// user chose stays (offscreen chosen by hand is for scripted logins). Empty
// when a window can be shown; otherwise why not, and nobody could see a
// login window.
QString chooseHeadlessPlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QString();
    const QString display = qEnvironmentVariable("DISPLAY");
    if (!display.isEmpty() && xDisplayAnswers())
        return QString();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software"); // Qt 5's engine has no OpenGL context offscreen
    return display.isEmpty() ? QStringLiteral("there is no display (DISPLAY is not set)")
                             : QStringLiteral("the display %1 does not answer").arg(display);
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
    const QString noDisplay = chooseHeadlessPlatform();
    if (HostOptions::verboseRequested(argc, argv)) {
        QLoggingCategory::setFilterRules(QStringLiteral("orvelle.*.debug=true"));
        qSetMessagePattern(QStringLiteral("%{if-category}%{category}: %{endif}%{message}"));
    } else {
        hideDiagnostics();
    }
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
    options.loginVisible = options.loginVisible && noDisplay.isEmpty();
    // A window nobody can see would run until killed; a screenshot of it
    // is what offscreen is for.
    if (options.command == HostOptions::Command::Gui && !noDisplay.isEmpty() && options.screenshot.isEmpty()) {
        std::fprintf(stderr, "orvelle-host: gui needs a display: %s\n", qPrintable(noDisplay));
        return 1;
    }
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
