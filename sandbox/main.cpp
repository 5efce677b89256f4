// orvelle-sandbox: a local stand-in of the service for the plug-in, its demo
// and its tests. Listens on 127.0.0.1 only.

#include "SandboxServer.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <string>
#include <thread>

namespace {

void usage()
{
    std::printf("usage: orvelle-sandbox [--port N] [--data DIR] [--auto-approve] [--upload-limit BYTES]\n"
                "                       [--new-permissions] [--feed-cancel-error] [--exit-with-parent]\n"
                "  --port N             port on 127.0.0.1 (default %d; 0 picks a free one)\n"
                "  --data DIR           database and photos; a fresh temporary folder by default\n"
                "  --auto-approve       every dialog is approved at once, as a logged-in user\n"
                "  --upload-limit BYTES largest photo accepted (default 25 MB)\n"
                "  --new-permissions    answer /me/permissions as permission/status rows\n"
                "  --feed-cancel-error  the feed dialog's Cancel reports error_code 4201\n"
                "  --exit-with-parent   end when the process that started it ends (tests)\n",
                SANDBOX_DEFAULT_PORT);
}

} // namespace

int main(int argc, char **argv)
{
    // Worker threads encode the profile pictures with Qt's image writer,
    // whose plug-in loader expects an application object: without one, Qt 6
    // corrupts its heap as the process exits.
    QCoreApplication application(argc, argv);
    SandboxConfig config;
    bool autoApprove = false, newPermissions = false, feedCancelError = false;
    long long uploadLimit = 25LL * 1024 * 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            config.port = std::atoi(argv[++i]);
        } else if (arg == "--data" && hasValue) {
            config.dataDir = argv[++i];
        } else if (arg == "--upload-limit" && hasValue) {
            uploadLimit = std::atoll(argv[++i]);
        } else if (arg == "--auto-approve") {
            autoApprove = true;
        } else if (arg == "--new-permissions") {
            newPermissions = true;
        } else if (arg == "--feed-cancel-error") {
            feedCancelError = true;
        } else if (arg == "--exit-with-parent") {
            // A test that crashes must not leave its sandbox holding the port.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() == 1)
                return 1;
        } else {
            usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    if (config.port < 0 || config.port > 65535 || uploadLimit <= 0) {
        usage();
        return 2;
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
    server.switches().autoApprove = autoApprove;
    server.switches().newPermissionsFormat = newPermissions;
    server.switches().feedCancelWithError = feedCancelError;
    server.switches().uploadLimit = uploadLimit;
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
                autoApprove ? ", auto-approve" : "");
    std::fflush(stdout);
    server.run();
    // run() also returns when the server fails; wake the watcher either way.
    pthread_kill(signalWatcher.native_handle(), SIGTERM);
    signalWatcher.join();
    return 0;
}
