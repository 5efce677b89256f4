// orvelle-sandbox: a local stand-in of the service for the plug-in, its demo
// and its tests. Listens on 127.0.0.1 only.

#include "SandboxServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    // Worker threads encode the profile pictures with Qt's image writer,
    // whose plug-in loader expects an application object: without one, Qt 6
    // corrupts its heap as the process exits.
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A local stand-in of the service, on 127.0.0.1 only."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port on 127.0.0.1 (default %1; 0 picks a free one).").arg(SANDBOX_DEFAULT_PORT),
                                  QStringLiteral("N"), QString::number(SANDBOX_DEFAULT_PORT));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Database and photos; a fresh temporary folder by default."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption autoApprove(QStringLiteral("auto-approve"),
                                         QStringLiteral("Every dialog is approved at once, as a logged-in user."));
    const QCommandLineOption uploadLimit(QStringLiteral("upload-limit"),
                                         QStringLiteral("Largest photo accepted (default 25 MB)."),
                                         QStringLiteral("BYTES"), QString::number(25LL * 1024 * 1024));
    const QCommandLineOption newPermissions(QStringLiteral("new-permissions"),
                                            QStringLiteral("Answer /me/permissions as permission/status rows."));
    const QCommandLineOption feedCancelError(QStringLiteral("feed-cancel-error"),
                                             QStringLiteral("The feed dialog's Cancel reports error_code 4201."));
    const QCommandLineOption answerDelay(QStringLiteral("upload-answer-delay"),
                                         QStringLiteral("Answer each stored photo after this long, as a real service's processing."),
                                         QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption uplink(QStringLiteral("uplink"),
                                    QStringLiteral("Read every photo upload through one link of this many bytes a second, "
                                                   "as a user's connection (default: no limit)."),
                                    QStringLiteral("BYTES"), QStringLiteral("0"));
    const QCommandLineOption exitWithParent(QStringLiteral("exit-with-parent"),
                                            QStringLiteral("End when the process that started it ends (tests)."));
    parser.addOptions({ port, data, autoApprove, uploadLimit, newPermissions, feedCancelError, answerDelay, uplink,
                        exitWithParent });
    parser.process(application); // exits with usage on unknown options

    SandboxConfig config;
    bool portOk = false, limitOk = false, delayOk = false, uplinkOk = false;
    config.port = parser.value(port).toInt(&portOk);
    config.dataDir = parser.value(data).toStdString();
    const long long limit = parser.value(uploadLimit).toLongLong(&limitOk);
    const int delayMs = parser.value(answerDelay).toInt(&delayOk);
    config.uplinkBytesPerSecond = parser.value(uplink).toLongLong(&uplinkOk);
    if (!portOk || config.port < 0 || config.port > 65535 || !limitOk || limit <= 0 || !delayOk || delayMs < 0
        || delayMs > 60000 || !uplinkOk || config.uplinkBytesPerSecond < 0) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet(exitWithParent)) {
        // A test that crashes must not leave its sandbox running.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == 1)
            return 1;
    }
    if (config.dataDir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvelle-sandbox-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        config.dataDir = pattern;
    }

    // Signals are taken by a thread of our own, which then stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SandboxServer server(config);
    server.switches().autoApprove = parser.isSet(autoApprove);
    server.switches().newPermissionsFormat = parser.isSet(newPermissions);
    server.switches().feedCancelWithError = parser.isSet(feedCancelError);
    server.switches().uploadLimit = limit;
    server.switches().uploadAnswerDelayMs = delayMs;
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "orvelle-sandbox: %s\n", error.c_str());
        return 1;
    }
    std::thread signalWatcher([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    });
    std::printf("Sandbox listening on %s (data: %s)%s\n", server.config().origin().c_str(), config.dataDir.c_str(),
                parser.isSet(autoApprove) ? ", auto-approve" : "");
    std::fflush(stdout);
    server.run();
    // run() also returns when the server fails; wake the watcher either way.
    pthread_kill(signalWatcher.native_handle(), SIGTERM);
    signalWatcher.join();
    return 0;
}
