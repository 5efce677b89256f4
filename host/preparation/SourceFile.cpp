#include "SourceFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SourceFile {

namespace {

constexpr qint64 chunkBytes = 1 << 20;

QString typeRefusal(const QString &path, mode_t mode)
{
    if (S_ISREG(mode))
        return QString();
    const char *what = S_ISFIFO(mode) ? "a named pipe"
        : S_ISDIR(mode)               ? "a folder"
        : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
        : S_ISSOCK(mode)              ? "a socket"
                                      : "not a regular file";
    return QStringLiteral("%1 is %2, not a photo").arg(QFileInfo(path).fileName(), QLatin1String(what));
}

Stamp stampOfStatus(const struct stat &status)
{
    Stamp stamp;
    stamp.device = status.st_dev;
    stamp.inode = status.st_ino;
    stamp.size = status.st_size;
    stamp.modifiedNs = qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    return stamp;
}

QString systemError(const QString &path)
{
    return QStringLiteral("cannot read %1: %2").arg(QFileInfo(path).fileName(), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QString changedLine(const QString &path)
{
    return QStringLiteral("%1 changed while the batch ran").arg(QFileInfo(path).fileName());
}

Stamp stampOf(const QString &path, QString *error)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        *error = systemError(path);
        return Stamp();
    }
    *error = typeRefusal(path, status.st_mode);
    return stampOfStatus(status);
}

QByteArray digest(const QString &path, const std::atomic<bool> &stop, Stamp *stamp, QString *error)
{
    // Non-blocking: a FIFO put in the photo's place after the check must
    // not hang the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = systemError(path);
        return QByteArray();
    }
    struct stat status {};
    QByteArray result;
    if (::fstat(fd, &status) != 0) {
        *error = systemError(path);
    } else if (!(*error = typeRefusal(path, status.st_mode)).isEmpty()) {
        // refused by its type
    } else {
        *stamp = stampOfStatus(status);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QByteArray chunk(int(chunkBytes), Qt::Uninitialized);
        ssize_t got = 0;
        while (!stop.load(std::memory_order_relaxed) && (got = ::read(fd, chunk.data(), size_t(chunk.size()))) != 0) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break;
            hash.addData(QByteArray::fromRawData(chunk.constData(), int(got)));
        }
        if (stop.load(std::memory_order_relaxed))
            *error = QStringLiteral("canceled, not sent");
        else if (got < 0)
            *error = systemError(path);
        else if (::fstat(fd, &status) != 0 || stampOfStatus(status) != *stamp)
            *error = changedLine(path);
        else
            result = hash.result().toHex();
    }
    ::close(fd);
    return result;
}

} // namespace SourceFile
