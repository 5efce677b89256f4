#ifndef HOSTSESSION_H
#define HOSTSESSION_H

#include "FacebookPluginQt5/IPhotoUpload.h"

#include <QLabel>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QPlainTextEdit>
#include <QPluginLoader>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

// One run of the stand-in host: loads the plug-in, shows a small window
// with a log, and runs the steps asked for on the command line one after
// the other, each waiting for its task's callback.
class HostSession : public QObject
{
    Q_OBJECT
public:
    explicit HostSession(const QString &pluginPath);

    bool load(QString *error);
    QMainWindow *window() { return &m_window; }

    void addName();
    void addPicture(const QSize &size);
    void addAlbums();
    void addUpload(const QString &file, const QString &album, const QString &message);
    void addShare(const QMap<QString, QString> &texts);
    // Saves a picture of the whole screen after delayMs, whatever the steps
    // are doing then, and ends the run.
    void scheduleScreenshot(const QString &file, int delayMs);

    // Runs the steps; the application quits with 0 when all succeeded.
    void start();

private:
    using Step = std::function<void()>;
    void next();
    void succeed(const QString &text);
    void fail(const QString &text);
    void log(const QString &text);

    QPluginLoader m_loader;
    IPhotoUpload *m_plugin = nullptr;
    QNetworkAccessManager m_manager;
    QMainWindow m_window;
    QPlainTextEdit *m_log;
    QLabel *m_picture;
    std::vector<Step> m_steps;
    std::unique_ptr<ITask> m_task; // the host owns its tasks
    size_t m_next = 0;
    int m_failures = 0;
};

#endif // HOSTSESSION_H
