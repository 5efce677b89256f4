#ifndef ALBUMNAMES_H
#define ALBUMNAMES_H

#include "FacebookPluginQt5/IPhotoPublishing.h"

#include <QHash>
#include <QString>
#include <QStringList>

// Album names repeat; ids do not. A name two albums share says nothing
// about which one a photo would go to: such an album is chosen by its id.
namespace AlbumNames {

inline QHash<QString, int> counts(const QList<Publishing::Album> &albums)
{
    QHash<QString, int> counts;
    for (const Publishing::Album &album : albums)
        ++counts[album.name];
    return counts;
}

inline QString idsText(const QList<Publishing::Album> &albums)
{
    QStringList ids;
    for (const Publishing::Album &album : albums)
        ids << album.id;
    return ids.join(QStringLiteral(", "));
}

// The albums a new album of that name would share it with: names compare
// as the service keeps them, without the spaces around.
inline QList<Publishing::Album> namesakes(const QList<Publishing::Album> &albums, const QString &name)
{
    QList<Publishing::Album> found;
    for (const Publishing::Album &album : albums) {
        if (album.name.trimmed() == name.trimmed())
            found << album;
    }
    return found;
}

// "only me" for "only-me": an audience in the user's words.
inline QString audienceText(QString audience)
{
    return audience.replace(QLatin1Char('-'), QLatin1Char(' '));
}

// Why a shared name chooses no album, as one line.
inline QString sharedText(const QString &name, const QList<Publishing::Album> &albums)
{
    return QStringLiteral("%1 albums are called \"%2\" (ids %3): choose one by its id")
        .arg(albums.size() == 2 ? QStringLiteral("two") : QString::number(albums.size()), name, idsText(albums));
}

// Why a new album of that name is not made, as one line.
inline QString existsText(const QList<Publishing::Album> &albums)
{
    return QStringLiteral("there is already an album called \"%1\" (%2 %3): choose it by its id, or name the new one "
                          "otherwise")
        .arg(albums.first().name, albums.size() == 1 ? QStringLiteral("id") : QStringLiteral("ids"), idsText(albums));
}

} // namespace AlbumNames

#endif // ALBUMNAMES_H
