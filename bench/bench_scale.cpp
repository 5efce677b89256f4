// A thousand small photos: the host's time per photo and peak memory must
// not grow with the batch, and the window must stay responsive through it.
// `orvelle-host upload --parallel 3` sends 100, then 1,000 small PNGs to the
// sandbox, which answers at once; then the window (in this process,
// offscreen) sends the 1,000 while a timer measures how long the event loop
// is ever kept from it.
// Targets: time per photo at 1,000 at most 1.15× that at 100; the host's
// peak resident memory at most 200 MB; the window's longest stall reported
// (no stall over 100 ms is the aim).

#include "PluginPaths.h"
#include "PreferencesFile.h"
#include "PrivateHome.h"
#include "SamplePhotos.h"
#include "SandboxProcess.h"
#include "TimedRun.h"
#include "plugin/PluginHost.h"
#include "window/HostWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int largeBatch = 1000;
constexpr int smallBatch = 100;

TimedRun runHost(const QProcessEnvironment &environment, const QStringList &arguments)
{
    return TimedRun::of(QStringLiteral(HOST_BIN), environment, arguments);
}

// Small photos of distinct content: each its own digest.
QStringList smallPhotos(const QString &folder, int count)
{
    QStringList files;
    for (int i = 0; i < count; ++i) {
        files << QStringLiteral("%1/small%2.png").arg(folder).arg(i, 4, 10, QLatin1Char('0'));
        const QColor colour(i % 256, (i / 256) * 50, 128);
        if (!SamplePhotos::writeImage(files.last(), SamplePhotos::twoColours({ 64, 48 }, colour), "png"))
            return {};
    }
    return files;
}

// The longest time the event loop was kept from a 5 ms timer while `during`
// is running, in ms.
struct StallWatch
{
    QTimer timer;
    QElapsedTimer since;
    qint64 longest = 0;
    StallWatch()
    {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            longest = qMax(longest, since.restart() - 5);
        });
        since.start();
        timer.start(5);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/orvelle-bench-XXXXXX"));
    PrivateHome::useHeadless(root.path());
    qputenv("ORVELLE_SANDBOX_BIN", SANDBOX_BIN);
    qputenv("ORVELLE_PLUGIN_DIR", PLUGIN_DIR);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Velotri"));
    app.setApplicationName(QStringLiteral("Orvelle"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // the plug-in's chatter
    QTemporaryDir folder;
    const QStringList photos = smallPhotos(folder.path(), largeBatch);
    if (photos.size() != largeBatch)
        qFatal("cannot write the photos");

    SandboxProcess sandbox({ "--auto-approve" });
    if (!sandbox.start())
        return 1;
    const QProcessEnvironment environment = PrivateHome::environment(root.path());
    if (runHost(environment, { "whoami" }).exitCode != 0 || PreferencesFile::tokenOnDisk().isEmpty()) {
        std::printf("the host could not log in to the sandbox\n");
        return 1;
    }
    const QString record = environment.value("XDG_DATA_HOME") + "/Velotri/Orvelle/sent-photos.sqlite";
    std::printf("small PNGs of 64 × 48, --parallel 3, the sandbox answering at once\n");
    double perPhoto[2] = {};
    qint64 peak = 0;
    bool allStored = true;
    int row = 0;
    for (const int count : { smallBatch, largeBatch }) {
        QFile::remove(record);
        const int before = sandbox.counters().value(QStringLiteral("photos")).toInt();
        const TimedRun run = runHost(environment, QStringList { "upload", "--parallel", "3" } + photos.mid(0, count));
        const int stored = sandbox.counters().value(QStringLiteral("photos")).toInt() - before;
        allStored = allStored && run.exitCode == 0 && stored == count;
        perPhoto[row++] = run.seconds / count;
        peak = qMax(peak, run.peakKiB);
        std::printf("orvelle-host, %4d photos   %6.2f s  %5.1f ms a photo  peak %.0f MB  stored %d\n", count, run.seconds,
                    run.seconds * 1000 / count, run.peakKiB / 1024.0, stored);
        std::fflush(stdout);
    }

    // The window, in this process: the same 1,000 photos.
    QFile::remove(record);
    PluginHost host(PluginPaths::library(PluginPaths::Build::Sandbox));
    QString error;
    if (!host.load(&error)) {
        std::printf("%s\n", qPrintable(error));
        return 1;
    }
    HostWindow window(&host);
    host.setMainWindow(&window);
    window.show();
    QSignalSpy loaded(&window, &HostWindow::accountLoaded);
    window.loadAccount();
    if (!loaded.wait(60000)) {
        std::printf("the window could not load the account\n");
        return 1;
    }
    const int before = sandbox.counters().value(QStringLiteral("photos")).toInt();
    QElapsedTimer clock;
    clock.start();
    StallWatch watch;
    window.addPhotos(photos);
    const qint64 addedMs = clock.elapsed();
    const qint64 addingStall = watch.longest;
    watch.longest = 0;
    QSignalSpy finished(&window, &HostWindow::uploadsFinished);
    window.findChild<QPushButton *>(QStringLiteral("uploadButton"))->click();
    finished.wait(900000);
    const int stored = sandbox.counters().value(QStringLiteral("photos")).toInt() - before;
    std::printf("the window, %d photos       %6.2f s  longest stall %lld ms while sending (adding the rows: %lld ms, "
                "one stall of %lld ms)  stored %d\n",
                largeBatch, clock.elapsed() / 1000.0, static_cast<long long>(watch.longest),
                static_cast<long long>(addedMs), static_cast<long long>(addingStall), stored);

    const double ratio = perPhoto[1] / perPhoto[0];
    std::printf("time per photo at %d against %d: %.2f× (target at most 1.15×: %s)\n", largeBatch, smallBatch, ratio,
                ratio <= 1.15 ? "met" : "NOT MET");
    std::printf("the host's peak resident memory: %.0f MB (target at most 200 MB: %s)\n", peak / 1024.0,
                peak <= 200 * 1024 ? "met" : "NOT MET");
    std::printf("the window's longest stall while sending: %lld ms (aim: at most 100 ms: %s)\n",
                static_cast<long long>(watch.longest), watch.longest <= 100 ? "met" : "NOT MET");
    return allStored && stored == largeBatch ? 0 : 1;
}
