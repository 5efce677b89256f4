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

// Whether the open file is a regular file of this user.
bool isOwnRegularFile(int fd, const QString &path, struct stat *status, QString *reason)
{
    if (::fstat(fd, status) != 0)
        return fail(reason, QStringLiteral("cannot inspect %1").arg(path));
    if (!S_ISREG(status->st_mode))
        return fail(reason, QStringLiteral("%1 is not a regular file").arg(path));
    if (status->st_uid != ::geteuid())
        return fail(reason, QStringLiteral("%1 belongs to another user").arg(path));
    return true;
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
    bool ok = isOwnRegularFile(fd, path, &status, reason);
    if (ok && (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || ::fstat(fd, &status) != 0))
        ok = fail(reason, QStringLiteral("cannot make %1 owner-only").arg(path));
    else if (ok && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ok = fail(reason, QStringLiteral("the file system keeps %1 open to others").arg(path));
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
    const bool ok = isOwnRegularFile(fd, path, &status, reason);
    ::close(fd);
    return ok;
}

} // namespace OwnerOnlyFile
