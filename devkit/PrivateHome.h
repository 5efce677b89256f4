#ifndef PRIVATEHOME_H
#define PRIVATEHOME_H

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#include <unistd.h>

// A home and XDG folders of their own under root, owner-only, so that a
// process touches no real user's files and web engine profiles of processes
// side by side do not lock each other.
namespace PrivateHome {

inline QProcessEnvironment environment(const QString &root)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR" }) {
        const QString dir = root + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.insert(QString::fromLatin1(name), dir);
    }
    return environment;
}

// For this process, before its application object exists.
inline void use(const QString &root)
{
    const QProcessEnvironment environment = PrivateHome::environment(root);
    for (const char *name : { "HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR" })
        qputenv(name, QFile::encodeName(environment.value(QString::fromLatin1(name))));
}

// use(), and the web engine headless for this process and its children:
// offscreen, the software scene graph, and as root without its own sandbox.
inline void useHeadless(const QString &root)
{
    use(root);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

} // namespace PrivateHome

#endif // PRIVATEHOME_H
