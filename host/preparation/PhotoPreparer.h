#ifndef PHOTOPREPARER_H
#define PHOTOPREPARER_H

#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A photo ready for the plug-in: the original file when the service takes it
// as it is, or a JPEG copy, scaled down and turned upright, in a temporary
// folder that is removed with this object.
struct PreparedPhoto
{
    QString path; // what to hand the plug-in; empty when the photo cannot be sent
    QString error; // why not
    QSize originalSize; // upright
    QSize sentSize;
    QByteArray originalFormat; // as Qt names it: "jpeg", "tiff", ...
    bool converted = false;
    std::unique_ptr<QTemporaryDir> workDir;

    bool ok() const { return !path.isEmpty(); }
    QString describe() const; // "scaled 4000×3000 → 2048×1536, tiff → JPEG", or "as it is"
};

// Prepares photos the way a plug-in asks for them: formats it takes (by MIME
// type) and the largest size it takes. The original file is only ever read.
class PhotoPreparer
{
public:
    // maxBytes: the largest file the service takes as it is.
    PhotoPreparer(const QStringList &supportedMimes, const QSize &maxSize, qint64 maxBytes);

    // Why the photo cannot be sent, from its header and size alone (before
    // anything reads it whole); empty when it may be.
    QString refusal(const QString &filePath, qint64 fileSize) const;
    PreparedPhoto prepare(const QString &filePath) const;

    static constexpr int jpegQuality = 92;

private:
    bool sendsAsItIs(const QString &filePath, const QByteArray &format) const;

    QStringList m_mimes;
    QSize m_maxSize;
    qint64 m_maxBytes;
};

#endif // PHOTOPREPARER_H
