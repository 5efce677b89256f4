#include "SamplePhotos.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

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

static bool writeJpegAt(const QString &path, const QImage &image, int exifOrientation, int quality)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", quality))
        return false;
    if (exifOrientation != 1)
        jpeg.insert(2, exifOrientationSegment(exifOrientation)); // right after the start marker
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(jpeg) == jpeg.size();
}

bool writeJpeg(const QString &path, const QImage &image, int exifOrientation)
{
    return writeJpegAt(path, image, exifOrientation, 90);
}

bool writeCameraPhoto(const QString &path, const QSize &stored, int exifOrientation, quint32 seed)
{
    // Tag 6 turns the stored pixels a quarter clockwise: red on the left
    // ends on top. Otherwise red is on top as stored.
    QImage image = exifOrientation == 6 ? twoColours(stored)
                                        : twoColours(stored.transposed()).transformed(QTransform().rotate(90));
    quint32 state = seed * 2654435761u + 1;
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            const int noise = int(state >> 26) - 32; // -32 to 31
            const QRgb pixel = line[x];
            line[x] = qRgb(qBound(0, qRed(pixel) + noise, 255), qBound(0, qGreen(pixel) + noise, 255),
                           qBound(0, qBlue(pixel) + noise, 255));
        }
    }
    return writeJpegAt(path, image, exifOrientation, 95);
}

QStringList cameraDay(int count)
{
    const QString dir = qEnvironmentVariableIsSet("ORVELLE_BENCH_PHOTOS")
        ? qEnvironmentVariable("ORVELLE_BENCH_PHOTOS")
        : QDir::tempPath() + QStringLiteral("/orvelle-bench-camera-photos");
    QDir().mkpath(dir);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString file = QStringLiteral("%1/camera-%2.jpg").arg(dir).arg(i, 2, 10, QLatin1Char('0'));
        if (!QFileInfo::exists(file)) {
            std::printf("writing %s\n", qPrintable(file));
            std::fflush(stdout);
            const QString part = file + QStringLiteral(".part");
            if (!writeCameraPhoto(part, QSize(6000, 4000), i % 2 ? 6 : 1, quint32(i)) || !QFile::rename(part, file))
                return {};
        }
        files << file;
    }
    return files;
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
