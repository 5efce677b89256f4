#include "ImageLimits.h"

#include <QImageReader>

namespace ImageLimits {

void apply()
{
#if QT_VERSION_MAJOR >= 6
    QImageReader::setAllocationLimit(allocationLimitMb);
#endif
}

QString refusal(const QString &fileName, const QSize &size)
{
    if (qint64(size.width()) * size.height() <= maxPixels)
        return QString();
    return QStringLiteral("%1 is %2×%3 pixels, more than %4 megapixels: not opened")
        .arg(fileName)
        .arg(size.width())
        .arg(size.height())
        .arg(maxPixels / 1'000'000);
}

} // namespace ImageLimits
