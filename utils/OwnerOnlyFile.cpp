#include "OwnerOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OwnerOnlyFile {

bool prepare(const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    const bool tightened = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ::close(fd);
    return tightened;
}

} // namespace OwnerOnlyFile
