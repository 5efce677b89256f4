#ifndef TIMEDRUN_H
#define TIMEDRUN_H

#include "ProcessTable.h"

#include <QElapsedTimer>
#include <QProcess>

// A program run to its end, timed, with its peak resident memory followed
// (VmHWM only grows, so the last reading before it ends is the peak); one
// that runs past limitMs is killed.
struct TimedRun
{
    double seconds = -1; // negative: not run
    qint64 peakKiB = -1;
    int exitCode = -1;

    static TimedRun of(const QString &program, const QProcessEnvironment &environment, const QStringList &arguments,
                       qint64 limitMs = 900000)
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        TimedRun run;
        QElapsedTimer clock;
        clock.start();
        process.start(program, arguments);
        process.waitForStarted();
        while (!process.waitForFinished(20)) {
            const qint64 peak = ProcessTable::statusKiB(process.processId(), "VmHWM");
            if (peak > 0)
                run.peakKiB = peak;
            if (clock.elapsed() > limitMs) {
                process.kill();
                process.waitForFinished();
            }
        }
        run.seconds = clock.nsecsElapsed() / 1e9;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return run;
    }
};

#endif // TIMEDRUN_H
