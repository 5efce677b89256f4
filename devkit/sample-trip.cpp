// Writes a folder of photos as a camera with a GPS leaves them after a
// trip: descriptions where the photographer wrote one (and the camera's
// boilerplate where not), the time of capture with its offset, a position,
// one photo on its side. For the demo and for trying the host by hand.
#include "SamplePhotos.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // no display needed: pictures are drawn in memory
    const QStringList arguments = app.arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: orvelle-sample-trip FOLDER\n");
        return 2;
    }
    const QDir folder(arguments.at(1));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "orvelle-sample-trip: cannot make %s\n", qPrintable(folder.path()));
        return 1;
    }
    struct Shot
    {
        const char *name;
        const char *caption; // XMP, IPTC or Exif, as different programs write it
        const char *where;
        const char *taken;
        int orientation;
    };
    const Shot shots[] = {
        { "IMG_0412.JPG", "Ribeira at dusk", "xmp", "2026:07:14 21:30:05", 1 },
        { "IMG_0415.JPG", "Tram 28 up to the castle", "iptc", "2026:07:15 10:02:41", 6 },
        { "IMG_0420.JPG", "OLYMPUS DIGITAL CAMERA", "exif", "2026:07:16 17:45:12", 1 },
    };
    int index = 0;
    for (const Shot &shot : shots) {
        const QString path = folder.filePath(QString::fromLatin1(shot.name));
        SamplePhotos::Tags tags;
        const QString caption = QString::fromUtf8(shot.caption);
        if (qstrcmp(shot.where, "xmp") == 0)
            tags.xmpDescription = caption;
        else if (qstrcmp(shot.where, "iptc") == 0)
            tags.iptcCaption = caption;
        else
            tags.exifDescription = caption;
        tags.dateTimeOriginal = QString::fromLatin1(shot.taken);
        tags.offsetTimeOriginal = QStringLiteral("+01:00");
        tags.gps = SamplePhotos::Position { 41.1403 + index * 0.001, -8.6131, 12 };
        tags.iptcCity = QStringLiteral("Porto");
        tags.make = QStringLiteral("OLYMPUS");
        tags.model = QStringLiteral("E-M10");
        tags.copyright = QStringLiteral("© 2026 Irina Sokolova");
        tags.orientation = shot.orientation;
        const QSize stored = shot.orientation == 6 ? QSize(1500, 2000) : QSize(2000, 1500);
        if (!SamplePhotos::writeCameraPhoto(path, stored, shot.orientation, quint32(index)) || !SamplePhotos::addTags(path, tags)) {
            std::fprintf(stderr, "orvelle-sample-trip: cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
        ++index;
    }
    return 0;
}
