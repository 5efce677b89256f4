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
}

#endif // OWNERONLYFILE_H
