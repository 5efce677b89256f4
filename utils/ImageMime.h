#ifndef IMAGEMIME_H
#define IMAGEMIME_H

#include <QByteArray>
#include <QString>

// The service names a photo's type after its file name's suffix: the plug-in
// sends that type, and the host converts what would have none.
namespace ImageMime {

inline QByteArray ofSuffix(const QString &suffix)
{
    const QString lower = suffix.toLower();
    if (lower == QLatin1String("jpg") || lower == QLatin1String("jpeg") || lower == QLatin1String("jpe"))
        return QByteArrayLiteral("image/jpeg");
    if (lower == QLatin1String("png") || lower == QLatin1String("gif"))
        return "image/" + lower.toLatin1();
    return QByteArray();
}

} // namespace ImageMime

#endif // IMAGEMIME_H
