#ifndef PHOTOPREPARER_H
#define PHOTOPREPARER_H

#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A photo ready for the plug-in: the original file when the service takes it
// as it is, or a JPEG copy, scaled down and turned upright, in a temporary
// folder that is removed with this object. The copy carries the original's
// metadata. Location goes unless asked to stay: from the copy, or, for a
// photo sent as it is, from a copy of the file in that folder whose
// compressed picture is the original's, byte for byte.
struct PreparedPhoto
{
    QString path; // what to hand the plug-in; empty when the photo cannot be sent
    QString error; // why not
    QSize originalSize; // upright
    QSize sentSize;
    QByteArray originalFormat; // as Qt names it: "jpeg", "tiff", ...
    bool converted = false; // decoded and written again (not so for a copy with only its location removed)
    bool locationRemoved = false;
    QString caption; // the photo's own words, empty if none
    QString takenAt; // ISO 8601 ("2026-07-14T09:30:00+02:00"), empty if unknown
    std::unique_ptr<QTemporaryDir> workDir;

    bool ok() const { return !path.isEmpty(); }
    // "scaled 4000×3000 → 2048×1536, tiff → JPEG", "as it is", each with
    // ", location removed" when it was
    QString describe() const;
};

// Prepares photos the way a plug-in asks for them: formats it takes (by MIME
// type) and the largest size it takes. The original file is only ever read.
// Safe to use from worker threads once made (on the GUI thread: it sets up
// the image and metadata readers).
class PhotoPreparer
{
public:
    // maxBytes: the largest file the service takes as it is.
    PhotoPreparer(const QStringList &supportedMimes, const QSize &maxSize, qint64 maxBytes);

    // Why the photo cannot be sent, from its header and size alone (before
    // anything reads it whole); empty when it may be.
    QString refusal(const QString &filePath, qint64 fileSize) const;
    PreparedPhoto prepare(const QString &filePath, bool keepLocation = false) const;

    static constexpr int jpegQuality = 92;

private:
    bool sendsAsItIs(const QString &filePath, const QByteArray &format) const;
    static void copyWithoutLocation(const QString &filePath, PreparedPhoto *photo);

    QStringList m_mimes;
    QSize m_maxSize;
    qint64 m_maxBytes;
};

#endif // PHOTOPREPARER_H
