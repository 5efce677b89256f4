#ifndef SOURCEFILE_H
#define SOURCEFILE_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <sys/types.h>

// A photo's original file as a batch reads it. Only a regular file is read
// (a FIFO or a device would block or never end), and what is sent can be
// checked to be what was hashed: the stamp (device, inode, size, time of the
// last change to its content) taken when its digest was read must still be
// the file's when its turn comes.
namespace SourceFile {

struct Stamp
{
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;

    bool operator==(const Stamp &other) const
    {
        return device == other.device && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs;
    }
    bool operator!=(const Stamp &other) const { return !(*this == other); }
};

// The stamp of what is at the path now, without opening it; an empty error
// when it is a regular file, else why it is not read: "is a named pipe, not
// a photo", ...
Stamp stampOf(const QString &path, QString *error);

// The hex SHA-256 of the file's content and its stamp, read through one
// descriptor. Empty, with the reason, for anything but a regular file, a
// file that changes while it is read, or when `stop` is raised (checked at
// every chunk, so that Ctrl+C is heard at once even in a huge file).
QByteArray digest(const QString &path, const std::atomic<bool> &stop, Stamp *stamp, QString *error);

// "IMG_1019.jpg changed while the batch ran"
QString changedLine(const QString &path);

} // namespace SourceFile

#endif // SOURCEFILE_H
