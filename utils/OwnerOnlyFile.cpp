#include "OwnerOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OwnerOnlyFile {

namespace {

bool fail(QString *reason, const QString &why)
{
    if (reason)
        *reason = why;
    return false;
}

} // namespace

bool prepare(const QString &path, QString *reason)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return fail(reason, QStringLiteral("cannot create the folder of %1").arg(path));
    // Non-blocking: a FIFO planted in its place must not hang the host.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return fail(reason, QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    struct stat status {};
    bool ok = false;
    if (::fstat(fd, &status) != 0)
        fail(reason, QStringLiteral("cannot inspect %1").arg(path));
    else if (!S_ISREG(status.st_mode))
        fail(reason, QStringLiteral("%1 is not a regular file").arg(path));
    else if (status.st_uid != ::geteuid())
        fail(reason, QStringLiteral("%1 belongs to another user").arg(path));
    else if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || ::fstat(fd, &status) != 0)
        fail(reason, QStringLiteral("cannot make %1 owner-only").arg(path));
    else if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        fail(reason, QStringLiteral("the file system keeps %1 open to others").arg(path));
    else
        ok = true;
    ::close(fd);
    return ok;
}

bool isSafeToRead(const QString &path, QString *reason)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        return fail(reason, QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    struct stat status {};
    bool ok = false;
    if (::fstat(fd, &status) != 0)
        fail(reason, QStringLiteral("cannot inspect %1").arg(path));
    else if (!S_ISREG(status.st_mode))
        fail(reason, QStringLiteral("%1 is not a regular file").arg(path));
    else if (status.st_uid != ::geteuid())
        fail(reason, QStringLiteral("%1 belongs to another user").arg(path));
    else
        ok = true;
    ::close(fd);
    return ok;
}

} // namespace OwnerOnlyFile
