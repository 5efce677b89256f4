#ifndef OWNERONLYFILE_H
#define OWNERONLYFILE_H

#include <QString>

// Files that hold credentials (the token, login cookies) are written through
// QSettings, whose temporary file takes the mode of the file it replaces, or
// the umask's when there is none. Calling prepare() before the write makes
// sure that mode is owner-only from the first byte: it creates the folder and
// an empty file with mode 0600 when missing, and tightens an existing file.
namespace OwnerOnlyFile {
bool prepare(const QString &path);
}

#endif // OWNERONLYFILE_H
