// The plug-in's own paths, loaded as a host loads it, against what a
// developer would use instead, side by side in one run:
//   loading    the library and its identity answers: time, memory, and that no
//              web engine starts
//   query      a user-name task, factory to callback, against a bare network
//              manager GET of the same address with the same JSON decoding
//   upload     a 200 MB photo through an upload task against `curl -F` and
//              against the same body sent with QHttpMultiPart through the
//              same manager, and the host's peak memory above its idle size
//   log in     a task's first request to its callback through the sandbox's
//              auto-approved login, web engine cold and warm
// Figures and ratios are printed; nothing here passes or fails on time.

#include "PrivateHome.h"
#include "ProcessTable.h"
#include "PreferencesFile.h"
#include "plugin/PluginHost.h"
#include "PluginPaths.h"
#include "SandboxProcess.h"
#include "json/QtJson.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkReply>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

// Lets the next VmHWM reading start from what is resident now.
void resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// Children of this process other than the given one (the sandbox).
int childProcesses(qint64 except)
{
    return ProcessTable::children(::getpid()).size() - (ProcessTable::children(::getpid()).contains(except) ? 1 : 0);
}

// Runs the event loop until done() is true or a minute has passed.
bool waitFor(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return done();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double millisecondsOf(const std::function<bool()> &run)
{
    QElapsedTimer clock;
    clock.start();
    if (!run())
        return -1;
    return clock.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    // A host of its own: private home and web engine folders, headless.
    QTemporaryDir root;
    PrivateHome::useHeadless(root.path());
    qputenv("ORVELLE_PLUGIN_DIR", PLUGIN_DIR);
    qputenv("ORVELLE_SANDBOX_BIN", SANDBOX_BIN);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Velotri"));
    app.setApplicationName(QStringLiteral("Orvelle"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // the plug-in's chatter

    SandboxProcess sandbox({ "--auto-approve", "--upload-limit", "300000000" });
    if (!sandbox.start())
        return 1;
    const QByteArray token = sandbox.token("user_photos,photo_upload");
    PreferencesFile::storeToken(QString::fromUtf8(token));

    // Loading.
    const qint64 rssBefore = ProcessTable::statusKiB(::getpid(), "VmRSS");
    const qint64 threadsBefore = ProcessTable::statusKiB(::getpid(), "Threads");
    PluginHost host(PluginPaths::library(PluginPaths::Build::Sandbox));
    QString identity;
    const double loadMs = millisecondsOf([&] {
        QString error;
        if (!host.load(&error))
            return false;
        IPhotoUpload *plugin = host.plugin();
        identity = plugin->name();
        plugin->icon(QSize(16, 16));
        plugin->icon(QSize(24, 24));
        plugin->supportedMimes();
        plugin->supportedMaxSize();
        return true;
    });
    std::printf("loading   %.1f ms (library, instance, identity answers), resident memory +%.1f MB, "
                "threads +%lld, child processes %d (no web engine started: %s)\n",
                loadMs, (ProcessTable::statusKiB(::getpid(), "VmRSS") - rssBefore) / 1024.0, ProcessTable::statusKiB(::getpid(), "Threads") - threadsBefore,
                childProcesses(sandbox.pid()),
                childProcesses(sandbox.pid()) == 0 && ProcessTable::statusKiB(::getpid(), "Threads") == threadsBefore ? "yes" : "NO");

    // A query, alternating with the bare request.
    IPhotoUpload *plugin = host.plugin();
    const QByteArray meUrl = sandbox.origin() + "/me?access_token=" + token;
    std::vector<double> ours, bare;
    for (int i = 0; i < 200; ++i) {
        ours.push_back(millisecondsOf([&] {
            QString name;
            std::unique_ptr<ITask> task(plugin->newUserNameTask([&](const QString &n) { name = n; },
                                                                [&](const QString &) { name = QStringLiteral("!"); }));
            return waitFor([&] { return !name.isEmpty(); }) && name != QLatin1String("!");
        }));
        bare.push_back(millisecondsOf([&] {
            QNetworkReply *reply = host.manager()->get(QNetworkRequest(QUrl::fromEncoded(meUrl)));
            QString name;
            QObject::connect(reply, &QNetworkReply::finished, [&] {
                name = QtJson::parse(QString::fromUtf8(reply->readAll())).toMap().value(QStringLiteral("name")).toString();
            });
            const bool done = waitFor([&] { return !name.isEmpty(); });
            reply->deleteLater();
            return done;
        }));
    }
    const double queryRatio = median(ours) / median(bare);
    std::printf("query     user-name task %.2f ms, bare GET + decoding %.2f ms (medians of 200): %.2fx "
                "(target < 1.3x: %s)\n",
                median(ours), median(bare), queryRatio, queryRatio < 1.3 ? "met" : "NOT MET");

    // An upload, alternating with curl.
    const QString photo = root.filePath(QStringLiteral("photo.png"));
    {
        QFile file(photo);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray("\x89PNG\r\n\x1a\n"));
        const QByteArray block(1 << 20, 'z');
        for (int i = 0; i < 200; ++i)
            file.write(block);
    }
    const double megabytes = QFileInfo(photo).size() / 1e6;
    const qint64 idle = ProcessTable::statusKiB(::getpid(), "VmRSS");
    resetPeakMemory();
    // The same body as a Qt developer would send it: QHttpMultiPart over the
    // QFile through the same manager. It shows what is QtNetwork's and what
    // is the plug-in's.
    const auto bareUpload = [&] {
        auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart message;
        message.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"message\""));
        message.setBody("bench");
        QHttpPart source;
        source.setHeader(QNetworkRequest::ContentDispositionHeader,
                         QStringLiteral("form-data; name=\"source\"; filename=\"photo.png\""));
        source.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("image/png"));
        auto *file = new QFile(photo, multiPart);
        file->open(QIODevice::ReadOnly);
        source.setBodyDevice(file);
        multiPart->append(message);
        multiPart->append(source);
        QNetworkReply *reply = host.manager()->post(
            QNetworkRequest(QUrl::fromEncoded(sandbox.origin() + "/me/photos?access_token=" + token)), multiPart);
        multiPart->setParent(reply);
        const bool done = waitFor([&] { return reply->isFinished(); })
            && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
        reply->deleteLater();
        return done;
    };
    constexpr int rounds = 5;
    std::vector<double> pluginRates, curlRates, bareRates;
    for (int round = 0; round < rounds; ++round) {
        const double pluginMs = millisecondsOf([&] {
            int outcome = 0;
            std::unique_ptr<ITask> task(plugin->newUploadTask(photo, QString(), QStringLiteral("bench"),
                                                              [&] { outcome = 1; }, [&](const QString &) { outcome = -1; }));
            return waitFor([&] { return outcome != 0; }) && outcome == 1;
        });
        const double curlMs = millisecondsOf([&] {
            QProcess curl;
            curl.start(QStringLiteral("curl"), { "-s", "-o", "/dev/null", "-w", "%{http_code}", "-F", "message=bench",
                                                 "-F", "source=@" + photo + ";type=image/png",
                                                 QString::fromUtf8(sandbox.origin() + "/me/photos?access_token=" + token) });
            return curl.waitForFinished(120000) && curl.readAllStandardOutput() == "200";
        });
        const double bareMs = millisecondsOf(bareUpload);
        if (pluginMs < 0 || curlMs < 0 || bareMs < 0) {
            std::printf("upload    failed (plug-in %s, curl %s, bare Qt %s)\n", pluginMs < 0 ? "failed" : "ok",
                        curlMs < 0 ? "failed" : "ok", bareMs < 0 ? "failed" : "ok");
            return 1;
        }
        pluginRates.push_back(megabytes / pluginMs * 1000);
        curlRates.push_back(megabytes / curlMs * 1000);
        bareRates.push_back(megabytes / bareMs * 1000);
    }
    const double above = (ProcessTable::statusKiB(::getpid(), "VmHWM") - idle) / 1024.0;
    const double uploadRatio = median(pluginRates) / median(curlRates);
    std::printf("upload    %.0f MB: plug-in %.1f MB/s, curl -F %.1f MB/s (medians of %d, alternating): %.2fx "
                "(target >= 0.95x: %s)\n",
                megabytes, median(pluginRates), median(curlRates), rounds, uploadRatio,
                uploadRatio >= 0.95 ? "met" : "NOT MET");
    std::printf("upload    bare QNetworkAccessManager + QHttpMultiPart over the same file %.1f MB/s: "
                "plug-in / bare Qt %.2fx, bare Qt / curl %.2fx\n",
                median(bareRates), median(pluginRates) / median(bareRates), median(bareRates) / median(curlRates));
    std::printf("upload    host peak memory above idle %.1f MB (target < 40 MB: %s)\n", above,
                above < 40 ? "met" : "NOT MET");

    // Logging in: the first login starts the web engine.
    for (const char *engine : { "cold", "warm" }) {
        sandbox.post("/__sandbox/expire-tokens");
        const double loginMs = millisecondsOf([&] {
            QString name;
            std::unique_ptr<ITask> task(plugin->newUserNameTask([&](const QString &n) { name = n; },
                                                                [&](const QString &) { name = QStringLiteral("!"); }));
            return waitFor([&] { return !name.isEmpty(); }) && name != QLatin1String("!");
        });
        std::printf("log in    web engine %s: %.0f ms from the first request to the callback\n", engine, loginMs);
    }
    return 0;
}
