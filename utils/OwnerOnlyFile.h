#ifndef OWNERONLYFILE_H
#define OWNERONLYFILE_H

#include <QString>

// Files that hold credentials (the token, login cookies) are written through
// QSettings, whose temporary file takes the mode of the file it replaces, or
// the umask's when there is none. Calling prepare() before the write makes
// sure that mode is owner-only from the first byte: it creates the folder and
// an empty file with mode 0600 when missing, and tightens an existing file.
//
// It fails closed: false, with the reason, when the file is not a regular
// file of this user or its mode cannot be made owner-only (a file system
// that ignores modes); the caller then writes nothing. A symbolic link to
// the user's own regular file is followed.
namespace OwnerOnlyFile {
bool prepare(const QString &path, QString *reason = nullptr);

// Whether a credential file may be read: true when it is missing (there is
// nothing to read) or a regular file of this user; false, with the reason,
// for anything else (a FIFO planted there would block the reader for good,
// another user's file could feed us their cookies). Never blocks.
bool isSafeToRead(const QString &path, QString *reason = nullptr);
}

#endif // OWNERONLYFILE_H
