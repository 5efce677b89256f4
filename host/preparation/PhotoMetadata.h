#ifndef PHOTOMETADATA_H
#define PHOTOMETADATA_H

#include <QByteArray>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

// A photo's metadata (Exif, IPTC, XMP), read once from the original and
// written onto what the host sends instead of it. Location is where the
// photo was taken or what it shows: Exif's GPS, XMP's exif:GPS*, and the
// city, state, country and sublocation fields of IPTC and XMP. The rest
// (time, description, copyright, artist, camera, lens) always goes along.
//
// The only place that talks to Exiv2. Exiv2's exceptions and its error
// messages stay here: a metadata block Exiv2 cannot read whole (corrupt,
// truncated, hostile, or an XMP packet above maxXmpBytes) makes the photo's
// one error line, "cannot read the metadata of IMG_1019.jpg (reason)".
class PhotoMetadata
{
public:
    // Real XMP packets are a few kilobytes (a JPEG segment holds 64 KB);
    // megabytes of it are a program gone wrong or an attack on the parser.
    static constexpr int maxXmpBytes = 1 << 20;

    // Sets Exiv2 up for worker threads (its XMP parser keeps global state)
    // and keeps its messages off the terminal. Call once on the GUI thread
    // before any photo is read; later calls do nothing.
    static void initialize();

    // Exiv2 reads only the metadata segments, never more than the file
    // holds. A format it does not know reads as no metadata.
    static PhotoMetadata read(const QString &filePath);
    // The same from bytes in memory; `name` is for the error line.
    static PhotoMetadata read(const QByteArray &bytes, const QString &name);

    QString error() const { return m_error; } // empty when read
    bool isEmpty() const { return !m_blocks; }
    QString caption() const { return m_caption; } // the photo's own words (XMP, then IPTC, then Exif); empty if none
    QString takenAt() const { return m_takenAt; } // ISO 8601: "2026-07-14T09:30:00+02:00"; empty if unknown
    bool hasLocation() const { return m_hasLocation; }

    // Writes this metadata onto `jpegCopy`, a JPEG made from the photo that
    // has none of its own: orientation 1 (the copy is upright), pixel
    // dimensions `copySize`, no miniature of the original, and no location
    // unless keepLocation. Empty on success, else the photo's error line.
    QString writeOnto(const QString &jpegCopy, const QSize &copySize, bool keepLocation) const;

    // Removes location from `copy`, a byte-for-byte copy of an original.
    // Only its metadata is rewritten: the compressed picture stays the
    // original's, byte for byte. `name` is for the error line.
    static QString removeLocation(const QString &copy, const QString &name);

private:
    struct Blocks;
    static PhotoMetadata readWith(const QString &name, const std::function<void(Blocks *)> &readBlocks);

    std::shared_ptr<const Blocks> m_blocks; // null when there is none
    QString m_name; // the original's file name, for error lines
    QString m_error;
    QString m_caption;
    QString m_takenAt;
    bool m_hasLocation = false;
};

#endif // PHOTOMETADATA_H
