#ifndef SAMPLEPHOTOS_H
#define SAMPLEPHOTOS_H

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

// Photos as cameras and image programs leave them, for the host's tests and benchmarks.
namespace SamplePhotos {

// Left half first colour, right half second: after a turn, which side
// ended up where shows whether the photo was turned.
QImage twoColours(const QSize &size, const QColor &left = Qt::red, const QColor &right = Qt::blue);

// A JPEG with an Exif orientation tag (1 to 8; 6: turn 90° clockwise to
// show it upright).
bool writeJpeg(const QString &path, const QImage &image, int exifOrientation = 1);
bool writeImage(const QString &path, const QImage &image, const char *format);

// A photo as a camera leaves it: red above blue once upright, with sensor
// noise so that it compresses like a real one (6000 × 4000 at quality 95:
// about 13 MB). With orientation 6 the stored pixels lie on their side and
// the tag turns them upright.
bool writeCameraPhoto(const QString &path, const QSize &stored, int exifOrientation, quint32 seed);

// The benchmarks' day of photos: count camera photos of 6000 × 4000, every
// second one with orientation 6, written once into a folder that is kept
// ($ORVELLE_BENCH_PHOTOS, or one in the temporary folder) and reused.
QStringList cameraDay(int count);

// The colour of the middle of the top and of the bottom quarter.
QColor topColour(const QImage &image);
QColor bottomColour(const QImage &image);
bool isNear(const QColor &a, const QColor &b); // tolerant of JPEG's losses

} // namespace SamplePhotos

#endif // SAMPLEPHOTOS_H
