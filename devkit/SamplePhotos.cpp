#include "SamplePhotos.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>

// Exiv2 0.27 hands out its objects in std::auto_ptr, which C++17 deprecates.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

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

namespace {

// Exiv2's XMP parser is set up once, with a lock for the threads that
// parse later (the host's preparer among them, in the same process): the
// first caller's lock is the one it keeps.
std::mutex xmpLockMutex;

void lockXmp(void *, bool lock)
{
    if (lock)
        xmpLockMutex.lock();
    else
        xmpLockMutex.unlock();
}

void setUpExiv2()
{
    static std::once_flag once;
    std::call_once(once, [] { Exiv2::XmpParser::initialize(lockXmp, nullptr); });
}

std::string text(const QString &value)
{
    return value.toStdString();
}

// 48.858222 as "48/1 51/1 2960/100": degrees, minutes, seconds.
std::string exifDegrees(double degrees)
{
    const double absolute = std::fabs(degrees);
    const int whole = int(absolute);
    const double minutes = (absolute - whole) * 60;
    const int wholeMinutes = int(minutes);
    const long hundredths = std::lround((minutes - wholeMinutes) * 6000);
    return QStringLiteral("%1/1 %2/1 %3/100").arg(whole).arg(wholeMinutes).arg(hundredths).toStdString();
}

// 48.858222 north as "48,51.4933N".
std::string xmpDegrees(double degrees, char positive, char negative)
{
    const double absolute = std::fabs(degrees);
    const int whole = int(absolute);
    return QStringLiteral("%1,%2%3")
        .arg(whole)
        .arg((absolute - whole) * 60, 0, 'f', 4)
        .arg(QLatin1Char(degrees < 0 ? negative : positive))
        .toStdString();
}

std::string altitude(double metres)
{
    return QStringLiteral("%1/100").arg(std::lround(std::fabs(metres) * 100)).toStdString();
}

void addExifGps(Exiv2::ExifData &exif, const Position &where)
{
    exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = where.latitude < 0 ? "S" : "N";
    exif["Exif.GPSInfo.GPSLatitude"] = exifDegrees(where.latitude);
    exif["Exif.GPSInfo.GPSLongitudeRef"] = where.longitude < 0 ? "W" : "E";
    exif["Exif.GPSInfo.GPSLongitude"] = exifDegrees(where.longitude);
    exif["Exif.GPSInfo.GPSAltitudeRef"] = where.altitude < 0 ? "1" : "0";
    exif["Exif.GPSInfo.GPSAltitude"] = altitude(where.altitude);
}

void addXmpGps(Exiv2::XmpData &xmp, const Position &where)
{
    xmp["Xmp.exif.GPSLatitude"] = xmpDegrees(where.latitude, 'N', 'S');
    xmp["Xmp.exif.GPSLongitude"] = xmpDegrees(where.longitude, 'E', 'W');
    xmp["Xmp.exif.GPSAltitudeRef"] = where.altitude < 0 ? "1" : "0";
    xmp["Xmp.exif.GPSAltitude"] = altitude(where.altitude);
}

// "Xmp.iptcExt.LocationShown[1]/Iptc4xmpExt:City": the list and its item
// must exist before a field of the item is set.
void addXmpField(Exiv2::XmpData &xmp, const std::string &key, const std::string &value)
{
    const std::size_t item = key.find("]/");
    if (item != std::string::npos) {
        const std::string list = key.substr(0, key.find('['));
        const std::string structure = key.substr(0, item + 1);
        Exiv2::XmpTextValue empty;
        if (xmp.findKey(Exiv2::XmpKey(list)) == xmp.end()) {
            empty.setXmpArrayType(Exiv2::XmpValue::xaBag);
            xmp.add(Exiv2::XmpKey(list), &empty);
        }
        if (xmp.findKey(Exiv2::XmpKey(structure)) == xmp.end()) {
            empty.setXmpArrayType(Exiv2::XmpValue::xaNone);
            empty.setXmpStruct();
            xmp.add(Exiv2::XmpKey(structure), &empty);
        }
    }
    xmp[key] = value;
}

// The stored pixels at 160 pixels, as a JPEG without metadata of its own.
void addThumbnail(Exiv2::ExifData &exif, const QString &path)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    reader.setScaledSize(reader.size().scaled(160, 160, Qt::KeepAspectRatio));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    reader.read().save(&buffer, "JPEG", 80);
    Exiv2::ExifThumb(exif).setJpegThumbnail(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), long(jpeg.size()),
                                            Exiv2::URational(72, 1), Exiv2::URational(72, 1), 2);
}

void addExif(Exiv2::ExifData &exif, const Tags &tags)
{
    const std::pair<const char *, QString> texts[] = {
        { "Exif.Image.ImageDescription", tags.exifDescription },
        { "Exif.Photo.DateTimeOriginal", tags.dateTimeOriginal },
        { "Exif.Photo.OffsetTimeOriginal", tags.offsetTimeOriginal },
        { "Exif.Image.Copyright", tags.copyright },
        { "Exif.Image.Artist", tags.artist },
        { "Exif.Image.Make", tags.make },
        { "Exif.Image.Model", tags.model },
        { "Exif.Photo.LensModel", tags.lens },
    };
    for (const auto &[key, value] : texts) {
        if (!value.isEmpty())
            exif[key] = text(value);
    }
    if (tags.orientation != 0)
        exif["Exif.Image.Orientation"] = uint16_t(tags.orientation);
    if (tags.gps)
        addExifGps(exif, *tags.gps);
}

} // namespace

bool addTags(const QString &path, const Tags &tags)
{
    setUpExiv2();
    try {
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(QFile::encodeName(path).toStdString()));
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(io);
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        Exiv2::IptcData iptc = image->iptcData();
        Exiv2::XmpData xmp = image->xmpData();
        addExif(exif, tags);
        if (!tags.iptcCaption.isEmpty())
            iptc["Iptc.Application2.Caption"] = text(tags.iptcCaption);
        if (!tags.iptcCity.isEmpty())
            iptc["Iptc.Application2.City"] = text(tags.iptcCity);
        if (!tags.xmpDescription.isEmpty())
            xmp["Xmp.dc.description"] = "lang=\"x-default\" " + text(tags.xmpDescription);
        if (!tags.xmpCity.isEmpty())
            xmp["Xmp.photoshop.City"] = text(tags.xmpCity);
        if (tags.xmpGps)
            addXmpGps(xmp, *tags.xmpGps);
        for (auto it = tags.more.cbegin(); it != tags.more.cend(); ++it) {
            const std::string key = text(it.key());
            if (it.key().startsWith(QLatin1String("Exif.")))
                exif[key] = text(it.value());
            else if (it.key().startsWith(QLatin1String("Iptc.")))
                iptc[key] = text(it.value());
            else
                addXmpField(xmp, key, text(it.value()));
        }
        if (!exif.empty()) {
            const QSize size = QImageReader(path).size();
            exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
            exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
        }
        if (!iptc.empty())
            iptc["Iptc.Envelope.CharacterSet"] = "\033%G"; // UTF-8
        // Exiv2 only complains, and writes no XMP, when its toolkit refuses a key.
        std::string packet;
        if (!xmp.empty() && Exiv2::XmpParser::encode(packet, xmp) != 0)
            throw std::runtime_error("the XMP toolkit refuses one of the keys");
        if (tags.thumbnail)
            addThumbnail(exif, path);
        image->setExifData(exif);
        image->setIptcData(iptc);
        image->setXmpData(xmp);
        image->writeMetadata();
        return true;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "cannot tag %s: %s\n", qPrintable(path), error.what());
        return false;
    }
}

bool writeTaggedImage(const QString &path, const QImage &image, const char *format, const Tags &tags)
{
    return writeImage(path, image, format) && addTags(path, tags);
}

bool writeTaggedJpeg(const QString &path, const QImage &image, const Tags &tags)
{
    return writeJpeg(path, image) && addTags(path, tags);
}

QMap<QString, QString> readTags(const QString &path)
{
    setUpExiv2();
    QMap<QString, QString> tags;
    try {
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(QFile::encodeName(path).toStdString()));
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(io);
        image->readMetadata();
        for (const Exiv2::Exifdatum &datum : image->exifData())
            tags.insert(QString::fromStdString(datum.key()), QString::fromStdString(datum.toString()));
        for (const Exiv2::Iptcdatum &datum : image->iptcData())
            tags.insert(QString::fromStdString(datum.key()), QString::fromStdString(datum.toString()));
        for (const Exiv2::Xmpdatum &datum : image->xmpData())
            tags.insert(QString::fromStdString(datum.key()), QString::fromStdString(datum.toString()));
        const Exiv2::ExifThumbC thumbnail(image->exifData());
        if (*thumbnail.mimeType() != '\0')
            tags.insert(QStringLiteral("thumbnail"), QString::fromLatin1(thumbnail.mimeType()));
    } catch (const std::exception &) {
        tags.clear();
    }
    return tags;
}

Tags cameraTags(int index)
{
    Tags tags;
    tags.exifDescription = QStringLiteral("The harbour at dawn, %1").arg(index + 1);
    tags.iptcCaption = tags.exifDescription;
    tags.dateTimeOriginal = QStringLiteral("2026:07:14 06:%1:00").arg(index % 60, 2, 10, QLatin1Char('0'));
    tags.offsetTimeOriginal = QStringLiteral("+02:00");
    tags.gps = Position { 43.2965 + index * 0.0001, 5.3698, 12 };
    tags.iptcCity = QStringLiteral("Marseille");
    tags.make = QStringLiteral("ORVELLE");
    tags.model = QStringLiteral("Sample Camera 6K");
    tags.lens = QStringLiteral("24-70mm F2.8");
    tags.artist = QStringLiteral("A. Photographer");
    tags.copyright = QStringLiteral("© 2026 A. Photographer");
    tags.thumbnail = true;
    return tags;
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
            if (!writeCameraPhoto(part, QSize(6000, 4000), i % 2 ? 6 : 1, quint32(i)) || !addTags(part, cameraTags(i))
                || !QFile::rename(part, file))
                return {};
        } else if (!readTags(file).contains(QStringLiteral("Exif.Photo.DateTimeOriginal"))) {
            // written by a version of this function that added no metadata
            if (!addTags(file, cameraTags(i)))
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
