#ifndef LOGINPROFILE_H
#define LOGINPROFILE_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QWebEngineProfile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The web profile the login and feed dialogs run in, and so where the
// service's login session (its cookies) lives between runs.
//
// A persistent profile of its own, one per Qt major (Qt 6's default profile
// is off the record, and the two majors' Chromium versions must not share
// one store). The engine writes cookies out late, and reliably only when the
// profile is destroyed: release() at quit, after the last page has gone, so
// a login is remembered by the next run. The plug-in and the host each
// compile this header; both find the process's one profile by its object
// name on the application object.
namespace LoginProfile {

inline const QString &storageName()
{
    static const QString name = QStringLiteral("FacebookLogin-Qt%1").arg(QT_VERSION_MAJOR);
    return name;
}

// Where the profile keeps its files, whether or not this process started
// the web engine.
inline QString storagePath()
{
    const QString engine = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/QtWebEngine/");
    return engine + storageName();
}

inline QString cookieFilePath()
{
    return storagePath() + QStringLiteral("/Cookies");
}

// A process with the profile open holds a shared lock on this file until it
// ends: the engine's own files say nothing reliable about who has them open.
inline QByteArray inUseFile()
{
    return QFile::encodeName(storagePath() + QStringLiteral("/orvelle-in-use"));
}

inline bool isInUseElsewhere()
{
    const int fd = ::open(inUseFile().constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return busy;
}

inline QWebEngineProfile *profile()
{
    if (auto *existing = qApp->findChild<QWebEngineProfile *>(storageName(), Qt::FindDirectChildrenOnly))
        return existing;
    QDir().mkpath(storagePath());
    const int inUse = ::open(inUseFile().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (inUse >= 0)
        ::flock(inUse, LOCK_SH); // held, with the descriptor, until the process ends
    auto *created = new QWebEngineProfile(storageName(), qApp);
    created->setObjectName(storageName());
    created->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    return created;
}

// Destroys the profile, which writes its cookies out; the pages that use it
// must be gone.
inline void release()
{
    if (qApp)
        delete qApp->findChild<QWebEngineProfile *>(storageName(), Qt::FindDirectChildrenOnly);
}

} // namespace LoginProfile

#endif // LOGINPROFILE_H
