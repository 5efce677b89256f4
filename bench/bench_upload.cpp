// The sandbox's peak memory while it receives a 200 MB photo upload: the
// photo must go to disk as it arrives. Target: under 50 MB.

#include "ProcessTable.h"
#include "SandboxProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qputenv("ORVELLE_SANDBOX_BIN", QByteArray(SANDBOX_BIN));
    SandboxProcess sandbox({ "--upload-limit", "300000000" });
    if (!sandbox.start())
        return 1;
    const qint64 idle = ProcessTable::statusKiB(sandbox.pid(), "VmHWM");

    QTemporaryFile photo;
    photo.open();
    photo.write(QByteArray("\x89PNG\r\n\x1a\n"));
    const QByteArray block(1 << 20, 'z');
    for (int i = 0; i < 200; ++i)
        photo.write(block);
    photo.flush();
    photo.seek(0);

    const QByteArray token = sandbox.token();
    QElapsedTimer clock;
    clock.start();
    const auto result = sandbox.send(sandbox.postPhoto(token, &photo));
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 peak = ProcessTable::statusKiB(sandbox.pid(), "VmHWM");
    const double stored = sandbox.get("/__sandbox/photos").json().array().at(0).toObject().value("size").toDouble();

    std::printf("sandbox upload of %.0f MB: status %d, stored %.0f bytes, %.1f MB/s\n", photo.size() / 1e6,
                result.status, stored, photo.size() / 1e6 / seconds);
    std::printf("sandbox peak memory: idle %.1f MB, after the upload %.1f MB (target < 50 MB: %s)\n", idle / 1024.0,
                peak / 1024.0, peak < 50 * 1024 ? "met" : "NOT MET");
    return result.status == 200 && stored == photo.size() ? 0 : 1;
}
