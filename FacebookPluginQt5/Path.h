#ifndef PATH_H
#define PATH_H

#include <QDir>
#include <QFileInfo>
#include <QString>

// File names of double-resolution ("@2x") image variants.
namespace Path {

inline const QString &suffix2x()
{
    static const QString suffix = QStringLiteral("@2x");
    return suffix;
}

// "a/b.png" -> "a/b@2x.png"; "a/b" -> "a/b@2x"; already-@2x paths unchanged.
inline QString toFilepath2x(QString path)
{
    const QString &suffix = suffix2x();
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    const int separator = path.lastIndexOf(QDir::separator());
    if (dot >= 0 && dot > separator) {
        if (dot >= suffix.size() && QStringView(path).mid(dot - suffix.size(), suffix.size()) == suffix)
            return path;
        return path.insert(dot, suffix);
    }
    if (!path.endsWith(suffix))
        path.append(suffix);
    return path;
}

// Level 1 is normal resolution; every level above maps to the @2x variant,
// which, when checkExists is set, is used only if it exists.
inline QString filepathForLevel(const QString &path, int level, bool checkExists)
{
    if (level <= 1)
        return path;
    const QString variant = toFilepath2x(path);
    if (checkExists && !QFileInfo::exists(variant))
        return path;
    return variant;
}

} // namespace Path

#endif // PATH_H
