#ifndef METADATATEXT_H
#define METADATATEXT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The words and the time that cameras and programs leave in a photo's
// metadata, as a person reads them. Plain text rules, apart from the
// reading of the metadata itself (PhotoMetadata).
namespace MetadataText {

// A field's stored bytes as text: UTF-8 when they are valid UTF-8 (XMP
// always is, and most programs write Exif and IPTC that way), else Latin-1;
// up to the first NUL, without blanks around: the rest of a fixed-size
// field is padding.
QString decoded(const QByteArray &stored);

// Whether a description is filler a camera writes into every photo
// ("OLYMPUS DIGITAL CAMERA", "SONY DSC", ...), or only the camera's own
// name, rather than words about the photo. Blank text is filler too.
bool isFiller(const QString &description, const QStringList &cameraNames);

// Exif's "2026:07:14 09:30:00" with its offset "+02:00" as ISO 8601:
// "2026-07-14T09:30:00+02:00", or "2026-07-14T09:30:00" when the offset is
// missing or not one. Empty when the date is not a date (a camera whose
// clock was never set writes "0000:00:00 00:00:00").
QString isoCaptureTime(const QByteArray &exifDateTime, const QByteArray &exifOffset);

} // namespace MetadataText

#endif // METADATATEXT_H
