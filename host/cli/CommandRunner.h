#ifndef COMMANDRUNNER_H
#define COMMANDRUNNER_H

#include "HostOptions.h"
#include "TerminalProgress.h"
#include "batch/BatchJob.h"
#include "plugin/DialogCloseWatch.h"

#include "utils/ITask.h"

#include <QJsonObject>
#include <QObject>

#include <memory>

class PluginHost;
struct TaskFailure;

// Runs one command of the command line through the plug-in and reports it:
// text on stdout, or one JSON document with --json; each error is one line
// on stderr. Emits finished with the exit status: 0 only when everything
// asked for succeeded; for an upload, 3 when nothing failed but some photos
// may have been published (in this run or before), 1 when any failed.
class CommandRunner : public QObject
{
    Q_OBJECT
public:
    enum class ExitStatus { Done = 0, Failed = 1, Usage = 2, MayHaveBeenPublished = 3 };

    CommandRunner(PluginHost *host, HostOptions options, QObject *parent = nullptr);
    ~CommandRunner() override;

    void start();

protected:
    // Sees the plug-in's windows appear: in a command, any window is its
    // login (or, for share, its feed dialog).
    bool eventFilter(QObject *watched, QEvent *event) override;

public:
    // Ctrl+C: the photos not sent yet are canceled, the rest is reported.
    void interrupt();

signals:
    void finished(int exitStatus);

private:
    void login();
    void whoami();
    void albums();
    void createAlbum();
    void upload();
    void share();
    void logout();

    void reportPhoto(const UploadQueue::Result &result);
    void reportBatch(const QString &error);
    static QString outcomeName(UploadQueue::Outcome outcome);

    void print(const QString &line);
    void printError(const QString &reason);
    void printNotice(const QString &line);
    void finish(bool ok);
    void finish(ExitStatus status);
    void fail(const QString &reason); // the reason's line, then the end
    void fail(const TaskFailure &failure);
    void onWindowShown();

    PluginHost *m_host;
    HostOptions m_options;
    QJsonObject m_json;
    std::unique_ptr<ITask> m_task;
    std::unique_ptr<BatchJob> m_batch;
    TerminalProgress m_progress;
    DialogCloseWatch m_dialogWatch;
    bool m_toldLogin = false;
    bool m_toldRateLimit = false;
    bool m_ended = false; // the outcome is out: later callbacks say nothing
};

#endif // COMMANDRUNNER_H
