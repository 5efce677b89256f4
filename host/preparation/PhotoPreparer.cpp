#include "PhotoPreparer.h"

#include "ImageLimits.h"
#include "PhotoMetadata.h"
#include "utils/ImageMime.h"

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

namespace {

// The plug-in names a photo's type by its file name's suffix; these are the
// formats Qt reads that have a suffix the plug-in knows.
QString mimeOfFormat(const QByteArray &format)
{
    if (format == "jpeg")
        return QStringLiteral("image/jpeg");
    if (format == "png")
        return QStringLiteral("image/png");
    if (format == "gif")
        return QStringLiteral("image/gif");
    return QString();
}

QString mimeOfSuffix(const QString &filePath)
{
    return QString::fromLatin1(ImageMime::ofSuffix(QFileInfo(filePath).suffix()));
}

bool turnsSideways(QImageIOHandler::Transformations transformation)
{
    return transformation & QImageIOHandler::TransformationRotate90;
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1×%2").arg(size.width()).arg(size.height());
}

// The pixels alone. Qt keeps an original's text chunks with the decoded
// image (a PNG's XMP among them, location and all) and would write them
// into the JPEG as comments; the copy's metadata is PhotoMetadata's to
// write. The colour profile stays.
QImage withoutText(const QImage &image)
{
    QImage pixels(image.constBits(), image.width(), image.height(), image.bytesPerLine(), image.format());
    pixels.setColorSpace(image.colorSpace());
    return pixels;
}

} // namespace

QString PreparedPhoto::describe() const
{
    const QString location = locationRemoved ? QStringLiteral(", location removed") : QString();
    if (!converted)
        return QStringLiteral("as it is") + location;
    QStringList steps;
    if (sentSize != originalSize)
        steps << QStringLiteral("scaled %1 → %2").arg(sizeText(originalSize), sizeText(sentSize));
    if (originalFormat != "jpeg")
        steps << QStringLiteral("%1 → JPEG").arg(QString::fromLatin1(originalFormat.toUpper()));
    if (steps.isEmpty())
        steps << QStringLiteral("turned upright");
    return steps.join(QStringLiteral(", ")) + location;
}

PhotoPreparer::PhotoPreparer(const QStringList &supportedMimes, const QSize &maxSize, qint64 maxBytes)
    : m_mimes(supportedMimes)
    , m_maxSize(maxSize)
    , m_maxBytes(maxBytes)
{
    ImageLimits::apply();
    PhotoMetadata::initialize();
}

QString PhotoPreparer::refusal(const QString &filePath, qint64 fileSize) const
{
    QImageReader reader(filePath);
    reader.setAutoTransform(true);
    const QByteArray format = reader.format();
    const QSize stored = reader.size();
    const QString name = QFileInfo(filePath).fileName();
    if (format.isEmpty() || !stored.isValid())
        return QStringLiteral("cannot read %1 as an image (%2)").arg(name, reader.errorString());
    const QString tooLarge = ImageLimits::refusal(name, stored);
    if (!tooLarge.isEmpty())
        return tooLarge;
    const QSize upright = turnsSideways(reader.transformation()) ? stored.transposed() : stored;
    const bool fits = upright.width() <= m_maxSize.width() && upright.height() <= m_maxSize.height();
    // A copy is made of anything else, and is small.
    if (fits && sendsAsItIs(filePath, format) && fileSize > m_maxBytes)
        return QStringLiteral("%1 is larger than the service takes (%2 MB)").arg(name).arg(m_maxBytes / (1024 * 1024));
    return QString();
}

PreparedPhoto PhotoPreparer::prepare(const QString &filePath, bool keepLocation) const
{
    PreparedPhoto photo;
    QImageReader reader(filePath);
    reader.setAutoTransform(true);
    photo.originalFormat = reader.format();
    const QSize stored = reader.size(); // from the header: nothing decoded yet
    if (photo.originalFormat.isEmpty() || !stored.isValid()) {
        photo.error = QStringLiteral("cannot read %1 as an image (%2)")
                          .arg(QFileInfo(filePath).fileName(), reader.errorString());
        return photo;
    }
    photo.error = ImageLimits::refusal(QFileInfo(filePath).fileName(), stored);
    if (!photo.error.isEmpty())
        return photo;
    const PhotoMetadata metadata = PhotoMetadata::read(filePath);
    photo.error = metadata.error();
    if (!photo.error.isEmpty())
        return photo;
    photo.caption = metadata.caption();
    photo.takenAt = metadata.takenAt();
    photo.locationRemoved = metadata.hasLocation() && !keepLocation;
    const bool sideways = turnsSideways(reader.transformation());
    photo.originalSize = sideways ? stored.transposed() : stored;
    const bool fits = photo.originalSize.width() <= m_maxSize.width() && photo.originalSize.height() <= m_maxSize.height();
    if (fits && sendsAsItIs(filePath, photo.originalFormat)) {
        photo.sentSize = photo.originalSize;
        if (photo.locationRemoved)
            copyWithoutLocation(filePath, &photo);
        else
            photo.path = filePath;
        return photo;
    }

    // Decoding straight to the final size spares memory and time on big
    // photos; the reader scales in the file's own orientation, before it
    // turns the picture upright.
    const QSize upright = fits ? photo.originalSize : photo.originalSize.scaled(m_maxSize, Qt::KeepAspectRatio);
    reader.setScaledSize(sideways ? upright.transposed() : upright);
    QImage image = reader.read();
    if (image.isNull()) {
        photo.error = QStringLiteral("cannot read %1 as an image (%2)")
                          .arg(QFileInfo(filePath).fileName(), reader.errorString());
        return photo;
    }
    if (image.hasAlphaChannel()) { // JPEG has none: lay the photo on white
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter(&flat).drawImage(0, 0, image);
        image = flat;
    }

    // The copy keeps the original's name, so the service shows that name.
    photo.workDir = std::make_unique<QTemporaryDir>();
    const QString copy = photo.workDir->filePath(QFileInfo(filePath).completeBaseName() + QStringLiteral(".jpg"));
    QImageWriter writer(copy, "jpeg");
    writer.setQuality(jpegQuality);
    if (!photo.workDir->isValid() || !writer.write(withoutText(image))) {
        photo.error = QStringLiteral("cannot write a JPEG copy of %1 (%2)")
                          .arg(QFileInfo(filePath).fileName(), writer.errorString());
        photo.workDir.reset();
        return photo;
    }
    photo.error = metadata.writeOnto(copy, image.size(), keepLocation);
    if (!photo.error.isEmpty()) {
        photo.workDir.reset();
        return photo;
    }
    photo.path = copy;
    photo.sentSize = image.size();
    photo.converted = true;
    return photo;
}

// The file copied as it is under its own name, then only its metadata
// rewritten: what is sent is the original's picture, byte for byte.
void PhotoPreparer::copyWithoutLocation(const QString &filePath, PreparedPhoto *photo)
{
    const QString name = QFileInfo(filePath).fileName();
    photo->workDir = std::make_unique<QTemporaryDir>();
    const QString copy = photo->workDir->filePath(name);
    if (!photo->workDir->isValid() || !QFile::copy(filePath, copy)) {
        photo->error = QStringLiteral("cannot copy %1 to remove its location").arg(name);
        photo->workDir.reset();
        return;
    }
    // QFile::copy keeps the original's permissions: a read-only photo
    // would give a copy that cannot be rewritten.
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    photo->error = PhotoMetadata::removeLocation(copy, name);
    if (!photo->error.isEmpty()) {
        photo->workDir.reset();
        return;
    }
    photo->path = copy;
}

// As it is only when the service takes the format and the plug-in will name
// it right: a PNG called "x.jpg" would go out labelled as a JPEG.
bool PhotoPreparer::sendsAsItIs(const QString &filePath, const QByteArray &format) const
{
    const QString mime = mimeOfFormat(format);
    return !mime.isEmpty() && m_mimes.contains(mime) && mimeOfSuffix(filePath) == mime;
}
