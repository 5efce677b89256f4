#include "SamplePhotos.h"
#include "TestMain.h"
#include "preparation/PhotoMetadata.h"
#include "preparation/PhotoPreparer.h"

#include <QBuffer>
#include <QFileInfo>
#include <QTemporaryDir>

using SamplePhotos::Tags;
Q_DECLARE_METATYPE(SamplePhotos::Tags)

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A JPEG with one more segment (APP1: Exif or XMP) right after its start marker.
QByteArray withSegment(const QByteArray &jpeg, const QByteArray &payload)
{
    const int stated = payload.size() + 2;
    return jpeg.left(2) + QByteArray("\xff\xe1", 2) + char(stated >> 8) + char(stated & 0xff) + payload + jpeg.mid(2);
}

// From the start-of-scan marker to the end: the compressed picture.
QByteArray scanData(const QByteArray &jpeg)
{
    int at = 2;
    while (at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xff && uchar(jpeg[at + 1]) != 0xda)
        at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]));
    return at + 4 <= jpeg.size() ? jpeg.mid(at) : QByteArray();
}

QStringList keysStartingWith(const QMap<QString, QString> &tags, const QStringList &prefixes)
{
    QStringList found;
    for (const QString &key : tags.keys()) {
        for (const QString &prefix : prefixes) {
            if (key.startsWith(prefix))
                found << key;
        }
    }
    return found;
}

// What stays whatever happens to location.
Tags withKeepers(Tags tags)
{
    tags.xmpDescription = QStringLiteral("Lunch on the terrace");
    tags.dateTimeOriginal = QStringLiteral("2026:07:14 13:05:00");
    tags.copyright = QStringLiteral("© 2026 Ana");
    tags.make = QStringLiteral("Canon");
    tags.model = QStringLiteral("Canon EOS R6");
    tags.lens = QStringLiteral("RF24-105mm F4 L IS USM");
    return tags;
}

const QStringList keeperKeys { "Xmp.dc.description", "Exif.Photo.DateTimeOriginal", "Exif.Image.Copyright",
                               "Exif.Image.Make", "Exif.Image.Model", "Exif.Photo.LensModel" };

} // namespace

class tst_PhotoMetadata : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void caption_data();
    void caption();
    void takenAt_data();
    void takenAt();
    void locationRemoved_data();
    void locationRemoved();
    void convertedCopyCarriesMetadata_data();
    void convertedCopyCarriesMetadata();
    void unreadableMetadataIsOneLine_data();
    void unreadableMetadataIsOneLine();
    void formatsWithoutMetadata_data();
    void formatsWithoutMetadata();

private:
    QString tagged(const QString &name, const Tags &tags, const char *format = "jpeg");

    QTemporaryDir m_dir;
    const PhotoPreparer m_asItIs { { "image/jpeg", "image/png", "image/gif" }, QSize(4096, 4096), 50 << 20 };
    const PhotoPreparer m_scaling { { "image/jpeg", "image/png", "image/gif" }, QSize(60, 60), 50 << 20 };
};

void tst_PhotoMetadata::initTestCase()
{
    PhotoMetadata::initialize();
    QVERIFY(m_dir.isValid());
}

QString tst_PhotoMetadata::tagged(const QString &name, const Tags &tags, const char *format)
{
    const QString path = m_dir.filePath(name);
    const QImage image = SamplePhotos::twoColours(QSize(120, 80));
    if (!SamplePhotos::writeTaggedImage(path, image, format, tags))
        return QString();
    return path;
}

void tst_PhotoMetadata::caption_data()
{
    QTest::addColumn<QString>("xmp");
    QTest::addColumn<QString>("iptc");
    QTest::addColumn<QString>("exif");
    QTest::addColumn<QString>("expected");
    QTest::newRow("xmp-first") << "Sunset, Lisbon" << "IPTC words" << "Exif words" << "Sunset, Lisbon";
    QTest::newRow("iptc-before-exif") << "" << "IPTC words" << "Exif words" << "IPTC words";
    QTest::newRow("exif-alone") << "" << "" << "  Café au lait  " << "Café au lait";
    QTest::newRow("filler-skipped") << "OLYMPUS DIGITAL CAMERA" << "" << "Exif words" << "Exif words";
    QTest::newRow("filler-any-case-padded") << "" << "  sony dsc   " << "DCIM" << "";
    QTest::newRow("blank-and-nuls") << "   " << QString(4, QChar(0)) << QString(4, QChar(0)) << "";
    QTest::newRow("camera-name") << "" << "" << "Canon EOS R6" << "";
}

void tst_PhotoMetadata::caption()
{
    QFETCH(QString, xmp);
    QFETCH(QString, iptc);
    QFETCH(QString, exif);
    QFETCH(QString, expected);
    Tags tags;
    tags.xmpDescription = xmp;
    tags.iptcCaption = iptc;
    tags.exifDescription = exif;
    tags.model = QStringLiteral("Canon EOS R6");
    const QString path = tagged(QStringLiteral("caption.jpg"), tags);
    QVERIFY(!path.isEmpty());
    const PhotoMetadata metadata = PhotoMetadata::read(path);
    QCOMPARE(metadata.error(), QString());
    QCOMPARE(metadata.caption(), expected);
    QCOMPARE(m_asItIs.prepare(path).caption, expected);
}

void tst_PhotoMetadata::takenAt_data()
{
    QTest::addColumn<QString>("dateTime");
    QTest::addColumn<QString>("offset");
    QTest::addColumn<QString>("expected");
    QTest::newRow("with-offset") << "2026:07:14 09:30:00" << "+02:00" << "2026-07-14T09:30:00+02:00";
    QTest::newRow("west-offset") << "2026:12:31 23:59:59" << "-05:30" << "2026-12-31T23:59:59-05:30";
    QTest::newRow("no-offset") << "2026:07:14 09:30:00" << "" << "2026-07-14T09:30:00";
    QTest::newRow("offset-not-one") << "2026:07:14 09:30:00" << "+2h" << "2026-07-14T09:30:00";
    QTest::newRow("clock-never-set") << "0000:00:00 00:00:00" << "+02:00" << "";
    QTest::newRow("no-such-day") << "2026:02:30 10:00:00" << "" << "";
    QTest::newRow("garbage") << "yesterday at noon" << "" << "";
}

void tst_PhotoMetadata::takenAt()
{
    QFETCH(QString, dateTime);
    QFETCH(QString, offset);
    QFETCH(QString, expected);
    Tags tags;
    tags.dateTimeOriginal = dateTime;
    tags.offsetTimeOriginal = offset;
    const QString path = tagged(QStringLiteral("time.jpg"), tags);
    QVERIFY(!path.isEmpty());
    QCOMPARE(PhotoMetadata::read(path).takenAt(), expected);
    QCOMPARE(m_asItIs.prepare(path).takenAt, expected);
}

void tst_PhotoMetadata::locationRemoved_data()
{
    QTest::addColumn<Tags>("location");
    QTest::addColumn<QStringList>("locationKeys");
    Tags tags;
    tags.gps = SamplePhotos::Position { 38.7223, -9.1393, 45 };
    QTest::newRow("exif-gps") << tags << QStringList { "Exif.GPSInfo.", "Exif.Image.GPSTag" };
    tags = Tags();
    tags.xmpGps = SamplePhotos::Position { -33.8688, 151.2093, 3 };
    QTest::newRow("xmp-gps") << tags << QStringList { "Xmp.exif.GPS" };
    tags = Tags();
    tags.iptcCity = QStringLiteral("Lisbon");
    tags.more = { { "Iptc.Application2.SubLocation", "Alfama" }, { "Iptc.Application2.ProvinceState", "Lisboa" },
                  { "Iptc.Application2.CountryName", "Portugal" }, { "Iptc.Application2.CountryCode", "PRT" },
                  { "Iptc.Application2.LocationName", "Old town" } };
    QTest::newRow("iptc") << tags << QStringList { "Iptc.Application2.City", "Iptc.Application2.SubLocation",
        "Iptc.Application2.ProvinceState", "Iptc.Application2.Country", "Iptc.Application2.LocationName" };
    tags = Tags();
    tags.xmpCity = QStringLiteral("Lisbon");
    tags.more = { { "Xmp.photoshop.State", "Lisboa" }, { "Xmp.photoshop.Country", "Portugal" },
                  { "Xmp.iptc.Location", "Alfama" }, { "Xmp.iptc.CountryCode", "PRT" } };
    QTest::newRow("xmp-photoshop-and-iptc") << tags << QStringList { "Xmp.photoshop.City", "Xmp.photoshop.State",
        "Xmp.photoshop.Country", "Xmp.iptc.Location", "Xmp.iptc.CountryCode" };
    tags = Tags();
    tags.more = { { "Xmp.iptcExt.LocationCreated[1]/iptcExt:City", "Lisbon" },
                  { "Xmp.iptcExt.LocationShown[1]/iptcExt:CountryName", "Portugal" } };
    QTest::newRow("xmp-iptc-extension") << tags << QStringList { "Xmp.iptcExt.Location" };
}

// Each way a photo goes (as it is, or scaled into a copy), without its
// location, and with it when asked to keep it.
void tst_PhotoMetadata::locationRemoved()
{
    QFETCH(Tags, location);
    QFETCH(QStringList, locationKeys);
    const QString path = tagged(QStringLiteral("IMG_0042.jpg"), withKeepers(location));
    QVERIFY(!path.isEmpty());
    const QByteArray original = contentOf(path);
    QVERIFY2(!keysStartingWith(SamplePhotos::readTags(path), locationKeys).isEmpty(), "the sample has its location");

    for (const PhotoPreparer *preparer : { &m_asItIs, &m_scaling }) {
        for (const bool keep : { false, true }) {
            const PreparedPhoto photo = preparer->prepare(path, keep);
            QVERIFY2(photo.ok(), qPrintable(photo.error));
            const QMap<QString, QString> sent = SamplePhotos::readTags(photo.path);
            QCOMPARE(keysStartingWith(sent, locationKeys).isEmpty(), !keep);
            QCOMPARE(keysStartingWith(sent, keeperKeys).size(), keeperKeys.size());
            QCOMPARE(photo.locationRemoved, !keep);
            QCOMPARE(photo.describe().endsWith(QLatin1String(", location removed")), !keep);
            if (photo.converted)
                continue;
            QCOMPARE(photo.path == path, keep);
            QCOMPARE(QFileInfo(photo.path).fileName(), QStringLiteral("IMG_0042.jpg"));
            QCOMPARE(scanData(contentOf(photo.path)), scanData(original));
        }
    }
    QCOMPARE(contentOf(path), original);
}

void tst_PhotoMetadata::convertedCopyCarriesMetadata_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("orientation");
    QTest::newRow("jpeg-on-its-side") << QByteArray("jpeg") << 6;
    QTest::newRow("tiff") << QByteArray("tiff") << 1;
    QTest::newRow("png") << QByteArray("png") << 0;
}

void tst_PhotoMetadata::convertedCopyCarriesMetadata()
{
    QFETCH(QByteArray, format);
    QFETCH(int, orientation);
    Tags tags = withKeepers(Tags());
    tags.offsetTimeOriginal = QStringLiteral("+01:00");
    tags.orientation = orientation;
    tags.thumbnail = format == "jpeg";
    tags.xmpGps = SamplePhotos::Position { 38.7223, -9.1393, 45 };
    tags.more = { { "Xmp.tiff.Orientation", QString::number(qMax(orientation, 1)) } };
    const QString path = tagged(QStringLiteral("photo.") + format, tags, format.constData());
    QVERIFY(!path.isEmpty());

    const PreparedPhoto photo = m_scaling.prepare(path);
    QVERIFY2(photo.ok(), qPrintable(photo.error));
    QVERIFY(photo.converted);
    QCOMPARE(photo.caption, QStringLiteral("Lunch on the terrace"));
    QCOMPARE(photo.takenAt, QStringLiteral("2026-07-14T13:05:00+01:00"));
    const QMap<QString, QString> sent = SamplePhotos::readTags(photo.path);
    QCOMPARE(keysStartingWith(sent, keeperKeys).size(), keeperKeys.size());
    QCOMPARE(sent.value("Exif.Image.Orientation"), QStringLiteral("1"));
    QCOMPARE(sent.value("Xmp.tiff.Orientation"), QStringLiteral("1"));
    QCOMPARE(sent.value("Exif.Photo.PixelXDimension"), QString::number(photo.sentSize.width()));
    QCOMPARE(sent.value("Exif.Photo.PixelYDimension"), QString::number(photo.sentSize.height()));
    QVERIFY2(!sent.contains("thumbnail"), "the original's miniature lies on its side");
    // A TIFF's size and compression in its Exif, its XMP there too.
    QCOMPARE(keysStartingWith(sent, { "Exif.Image.ImageWidth", "Exif.Image.Compression", "Exif.Image.XMLPacket",
                                      "Xmp.exif.GPS" }),
             QStringList());
    // Nor anywhere else in the file (a PNG's text chunks as JPEG comments).
    QVERIFY(!contentOf(photo.path).contains("GPS"));
}

void tst_PhotoMetadata::unreadableMetadataIsOneLine_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    SamplePhotos::twoColours(QSize(32, 24)).save(&buffer, "JPEG");
    const QByteArray exif("Exif\0\0", 6);
    QTest::newRow("exif-not-tiff") << "IMG_1.jpg" << withSegment(jpeg, exif + "XX*\0" + QByteArray(40, '\1')) << "TIFF";
    QTest::newRow("directory-of-65535-entries")
        << "IMG_2.jpg" << withSegment(jpeg, exif + QByteArray("MM\0*\0\0\0\x08\xff\xff", 10) + QByteArray(30, '\0'))
        << "65535 entries";
    QTest::newRow("directory-cut-short") // five entries announced, one there
        << "IMG_3.jpg" << withSegment(jpeg, exif + QByteArray("II*\0\x08\0\0\0\x05\0", 10) + QByteArray(12, '\1'))
        << "outside of the data buffer";
    const QByteArray xmp("http://ns.adobe.com/xap/1.0/", 29);
    QTest::newRow("xmp-not-xml") << "IMG_4.jpg"
                                 << withSegment(jpeg, xmp + "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF") << "XMP";

    Tags huge;
    huge.xmpDescription = QString(6 << 20, QLatin1Char('w'));
    const QString hugePath = tagged(QStringLiteral("huge.png"), huge, "png");
    QTest::newRow("xmp-of-6-mb") << "IMG_5.png" << contentOf(hugePath) << "XMP packet is 6.0 MB, more than 1 MB";
}

void tst_PhotoMetadata::unreadableMetadataIsOneLine()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString path = m_dir.filePath(name);
    QVERIFY(writeFile(path, bytes));
    const QString line = PhotoMetadata::read(path).error();
    QVERIFY2(line.startsWith(QStringLiteral("cannot read the metadata of %1 (").arg(name)), qPrintable(line));
    QVERIFY2(line.endsWith(QLatin1Char(')')) && line.contains(reason) && !line.contains(QLatin1Char('\n')),
             qPrintable(line));
    QCOMPARE(PhotoMetadata::read(bytes, name).error(), line);
    const PreparedPhoto photo = m_scaling.prepare(path);
    QVERIFY(!photo.ok());
    QCOMPARE(photo.error, line);
}

void tst_PhotoMetadata::formatsWithoutMetadata_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    for (const char *format : { "png", "tiff", "ppm" }) { // Exiv2 knows no PPM
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        SamplePhotos::twoColours(QSize(40, 30)).save(&buffer, format);
        QTest::newRow(format) << QStringLiteral("plain.%1").arg(QLatin1String(format)) << bytes;
    }
    // Qt writes no GIF: one pixel, by hand.
    QTest::newRow("gif") << "plain.gif"
                         << QByteArray("GIF89a\1\0\1\0\x80\0\0\xff\0\0\0\0\0,\0\0\0\0\1\0\1\0\0\2\2\x44\1\0;", 35);
}

void tst_PhotoMetadata::formatsWithoutMetadata()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString path = m_dir.filePath(name);
    QVERIFY(writeFile(path, bytes));
    for (const PhotoPreparer *preparer : { &m_asItIs, &m_scaling }) {
        const PreparedPhoto photo = preparer->prepare(path);
        QVERIFY2(photo.ok(), qPrintable(photo.error));
        QVERIFY(photo.caption.isEmpty() && photo.takenAt.isEmpty() && !photo.locationRemoved);
    }
}

ORVELLE_TEST_MAIN(tst_PhotoMetadata)
#include "tst_photometadata.moc"
