#include "SamplePhotos.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

namespace SamplePhotos {

QImage twoColours(const QSize &size, const QColor &left, const QColor &right)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, size.width() / 2, size.height(), left);
    painter.fillRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height(), right);
    return image;
}

// An APP1 segment with a big-endian Exif block whose only entry is the
// orientation (tag 0x0112, one SHORT).
static QByteArray exifOrientationSegment(int orientation)
{
    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8); // header, first directory at 8
    tiff += QByteArray("\0\x01", 2); // one entry
    tiff += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8); // orientation, SHORT, count 1
    tiff += char(0);
    tiff += char(orientation);
    tiff += QByteArray(2, '\0'); // value padding
    tiff += QByteArray(4, '\0'); // no next directory
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = payload.size() + 2;
    return QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + payload;
}

bool writeJpeg(const QString &path, const QImage &image, int exifOrientation)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", 90))
        return false;
    if (exifOrientation != 1)
        jpeg.insert(2, exifOrientationSegment(exifOrientation)); // right after the start marker
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(jpeg) == jpeg.size();
}

bool writeImage(const QString &path, const QImage &image, const char *format)
{
    QImageWriter writer(path, format);
    return writer.write(image);
}

QColor topColour(const QImage &image)
{
    return image.pixelColor(image.width() / 2, image.height() / 8);
}

QColor bottomColour(const QImage &image)
{
    return image.pixelColor(image.width() / 2, image.height() * 7 / 8);
}

bool isNear(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

} // namespace SamplePhotos
