#include "MetadataText.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

namespace MetadataText {

namespace {

// What cameras put in the description field of every photo they take.
const QStringList &cameraFiller()
{
    static const QStringList filler {
        QStringLiteral("OLYMPUS DIGITAL CAMERA"), QStringLiteral("SONY DSC"),
        QStringLiteral("DCIM"), QStringLiteral("DIGITAL CAMERA"),
        QStringLiteral("KODAK DIGITAL STILL CAMERA"), QStringLiteral("MINOLTA DIGITAL CAMERA"),
        QStringLiteral("EXIF_JPEG_PICTURE"), QStringLiteral("SAMSUNG CAMERA PICTURES"),
    };
    return filler;
}

// No photograph is older than the first one (1826): an earlier year is a
// clock that was never set.
constexpr int firstPhotoYear = 1826;

} // namespace

QString decoded(const QByteArray &stored)
{
    const int end = stored.indexOf('\0');
    const QByteArray bytes = end < 0 ? stored : stored.left(end);
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes) // invalid UTF-8 came back changed
        text = QString::fromLatin1(bytes);
    return text.trimmed();
}

bool isFiller(const QString &description, const QStringList &cameraNames)
{
    const QString words = description.simplified();
    if (words.isEmpty())
        return true;
    for (const QString &filler : cameraFiller() + cameraNames) {
        if (!filler.simplified().isEmpty() && words.compare(filler.simplified(), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString isoCaptureTime(const QByteArray &exifDateTime, const QByteArray &exifOffset)
{
    static const QRegularExpression dateTime(QStringLiteral("^(\\d{4}):(\\d{2}):(\\d{2}) (\\d{2}):(\\d{2}):(\\d{2})$"));
    static const QRegularExpression offset(QStringLiteral("^[+-](\\d{2}):(\\d{2})$"));
    const QRegularExpressionMatch when = dateTime.match(decoded(exifDateTime));
    if (!when.hasMatch())
        return QString();
    const QDate date(when.captured(1).toInt(), when.captured(2).toInt(), when.captured(3).toInt());
    const QTime time(when.captured(4).toInt(), when.captured(5).toInt(), when.captured(6).toInt());
    if (!date.isValid() || !time.isValid() || date.year() < firstPhotoYear)
        return QString();
    QString iso = QStringLiteral("%1-%2-%3T%4:%5:%6")
                      .arg(when.captured(1), when.captured(2), when.captured(3), when.captured(4), when.captured(5),
                           when.captured(6));
    // Time zones run from -12:00 to +14:00.
    const QString zone = decoded(exifOffset);
    const QRegularExpressionMatch shift = offset.match(zone);
    if (shift.hasMatch() && shift.captured(1).toInt() <= 14 && shift.captured(2).toInt() < 60)
        iso += zone;
    return iso;
}

} // namespace MetadataText
