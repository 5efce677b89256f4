#ifndef SAMPLEPHOTOS_H
#define SAMPLEPHOTOS_H

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

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

// Where a photo was taken: degrees (south and west negative), metres.
struct Position
{
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
};

// Metadata as cameras and photo programs write it, for writeTagged*() and
// addTags(). Empty text and absent positions are not written; text is
// written as given (garbage dates included).
struct Tags
{
    QString xmpDescription; // Xmp.dc.description (x-default)
    QString iptcCaption; // Iptc.Application2.Caption
    QString exifDescription; // Exif.Image.ImageDescription
    QString dateTimeOriginal; // Exif.Photo.DateTimeOriginal: "2026:07:14 09:30:00"
    QString offsetTimeOriginal; // Exif.Photo.OffsetTimeOriginal: "+02:00"
    std::optional<Position> gps; // Exif.GPSInfo: latitude, longitude, altitude, their references
    std::optional<Position> xmpGps; // Xmp.exif.GPSLatitude, GPSLongitude, GPSAltitude
    QString iptcCity; // Iptc.Application2.City
    QString xmpCity; // Xmp.photoshop.City
    QString copyright; // Exif.Image.Copyright
    QString artist; // Exif.Image.Artist
    QString make; // Exif.Image.Make
    QString model; // Exif.Image.Model
    QString lens; // Exif.Photo.LensModel
    int orientation = 0; // Exif.Image.Orientation (1 to 8); 0: not written
    bool thumbnail = false; // Exif's miniature: the image at 160 pixels, as cameras add it
    // Any other key as Exiv2 names it and its text: "Iptc.Application2.CountryName",
    // "Xmp.iptcExt.LocationShown[1]/iptcExt:City" (the list and its
    // item are made), "Exif.Photo.PixelXDimension".
    QMap<QString, QString> more;
};

// A JPEG (quality 90) of `image`, then addTags().
bool writeTaggedJpeg(const QString &path, const QImage &image, const Tags &tags);
// The same in another format Qt writes and Exiv2 tags: "png", "tiff".
bool writeTaggedImage(const QString &path, const QImage &image, const char *format, const Tags &tags);
// Adds `tags` to the photo at `path`, keeping the metadata it has; with any
// Exif, also the pixel dimensions a camera records (Exif.Photo.PixelX/YDimension).
// False, with the reason on stderr, when Exiv2 cannot write them.
bool addTags(const QString &path, const Tags &tags);

// Every Exif, IPTC and XMP key of the photo at `path` with its value as
// Exiv2 prints it (a language alternative as 'lang="x-default" text'),
// plus "thumbnail" with the miniature's MIME type when there is one.
// Empty when the file cannot be read.
QMap<QString, QString> readTags(const QString &path);

// The benchmarks' day of photos: count camera photos of 6000 × 4000, every
// second one with orientation 6, written once into a folder that is kept
// ($ORVELLE_BENCH_PHOTOS, or one in the temporary folder) and reused. Each
// carries what a camera with a GPS writes (cameraTags()).
QStringList cameraDay(int count);
// A description, the time of capture with its offset, a position, the
// camera and its lens, an artist and a copyright, and the miniature.
Tags cameraTags(int index);

// The colour of the middle of the top and of the bottom quarter.
QColor topColour(const QImage &image);
QColor bottomColour(const QImage &image);
bool isNear(const QColor &a, const QColor &b); // tolerant of JPEG's losses

} // namespace SamplePhotos

#endif // SAMPLEPHOTOS_H
