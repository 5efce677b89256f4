#ifndef ALBUMNAMES_H
#define ALBUMNAMES_H

#include "FacebookPluginQt5/IPhotoPublishing.h"

#include <QHash>
#include <QString>

// The command line finds an album by its name, so a name two albums share
// says nothing about which one a photo would go to: such a name takes no
// uploads.
namespace AlbumNames {

inline QHash<QString, int> counts(const QList<Publishing::Album> &albums)
{
    QHash<QString, int> counts;
    for (const Publishing::Album &album : albums)
        ++counts[album.name];
    return counts;
}

// Why a shared name takes no uploads, as one line.
inline QString sharedText(const QString &name, int albums)
{
    return QStringLiteral("%1 albums are called \"%2\": rename one to upload there")
        .arg(albums == 2 ? QStringLiteral("two") : QString::number(albums), name);
}

} // namespace AlbumNames

#endif // ALBUMNAMES_H
