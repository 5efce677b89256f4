#include "PhotoMetadata.h"

#include "MetadataText.h"

#include <QFile>
#include <QFileInfo>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstring>
#include <mutex>

// Exiv2 0.27 hands out its objects in std::auto_ptr, which C++17 deprecates.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct Containers
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;

    bool empty() const { return exif.empty() && iptc.empty() && xmp.empty(); }
};

// Exiv2 gives up on a directory or an XMP packet it cannot parse with a
// message, not an exception. Its error-level messages go to the thread that
// asked, to fail that photo; nothing goes to the terminal.
thread_local std::string *t_complaint = nullptr;

void noteComplaint(int level, const char *message)
{
    if (level >= Exiv2::LogMsg::error && t_complaint != nullptr && t_complaint->empty())
        *t_complaint = message;
}

class ComplaintWatch
{
public:
    ComplaintWatch() { t_complaint = &m_first; }
    ~ComplaintWatch() { t_complaint = nullptr; }
    ComplaintWatch(const ComplaintWatch &) = delete;
    ComplaintWatch &operator=(const ComplaintWatch &) = delete;
    const std::string &first() const { return m_first; }

private:
    std::string m_first;
};

// Exiv2's words may quote bytes of the file: one printable line of them.
QString oneLine(const std::string &message)
{
    QString line = QString::fromUtf8(message.data(), int(message.size()));
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    line = line.simplified();
    if (line.endsWith(QLatin1Char('.')))
        line.chop(1);
    return line.left(200);
}

// The reason `work` failed (an exception or a complaint of Exiv2), empty
// when it did not.
template <typename Work>
QString failureOf(Work &&work)
{
    ComplaintWatch complaints;
    try {
        work();
    } catch (const Exiv2::AnyError &error) {
        return oneLine(error.what());
    } catch (const std::exception &error) { // bad_alloc for a size no file holds, ...
        return oneLine(error.what());
    } catch (...) { // on a worker thread, anything else would end the program
        return QStringLiteral("unknown error");
    }
    return oneLine(complaints.first());
}

// A reason of ours to give up, reported like Exiv2's.
class Refusal : public std::exception
{
public:
    explicit Refusal(const QString &reason) : m_reason(reason.toStdString()) {}
    const char *what() const noexcept override { return m_reason.c_str(); }

private:
    std::string m_reason;
};

// Given a path, Exiv2 would fetch "http://..." names and decode "data:..."
// ones: the file is opened through a file reader of our own.
Exiv2::BasicIo::AutoPtr fileReader(const QString &path)
{
    return Exiv2::BasicIo::AutoPtr(new Exiv2::FileIo(QFile::encodeName(path).toStdString()));
}

Exiv2::Image::AutoPtr openToWrite(const QString &path)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(fileReader(path));
    if (image.get() == nullptr)
        throw Refusal(QStringLiteral("not a format Exiv2 writes"));
    return image;
}

void readInto(Exiv2::BasicIo::AutoPtr io, Containers *into)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(io);
    if (image.get() == nullptr)
        return; // Qt reads formats Exiv2 does not know (PPM, ...): no metadata it could read
    image->readMetadata();
    const std::size_t xmpBytes = image->xmpPacket().size();
    if (xmpBytes > std::size_t(PhotoMetadata::maxXmpBytes))
        throw Refusal(QStringLiteral("its XMP packet is %1 MB, more than %2 MB")
                          .arg(double(xmpBytes) / (1 << 20), 0, 'f', 1)
                          .arg(PhotoMetadata::maxXmpBytes >> 20));
    into->exif = image->exifData();
    into->iptc = image->iptcData();
    into->xmp = image->xmpData();
}

// --- Location

bool isExifLocation(const Exiv2::Exifdatum &datum)
{
    return datum.groupName() == "GPSInfo" || datum.key() == "Exif.Image.GPSTag";
}

bool isIptcLocation(const Exiv2::Iptcdatum &datum)
{
    static const char *const keys[] = {
        "Iptc.Application2.City",        "Iptc.Application2.SubLocation",  "Iptc.Application2.ProvinceState",
        "Iptc.Application2.CountryName", "Iptc.Application2.CountryCode",  "Iptc.Application2.LocationCode",
        "Iptc.Application2.LocationName",
    };
    const std::string key = datum.key();
    for (const char *location : keys) {
        if (key == location)
            return true;
    }
    return false;
}

bool isXmpLocation(const Exiv2::Xmpdatum &datum)
{
    // Prefixes: a structure's fields are keys of their own
    // ("Xmp.iptcExt.LocationShown[1]/Iptc4xmpExt:City").
    static const char *const prefixes[] = {
        "Xmp.exif.GPS",          "Xmp.photoshop.City",          "Xmp.photoshop.State",
        "Xmp.photoshop.Country", "Xmp.iptc.Location",           "Xmp.iptc.CountryCode",
        "Xmp.iptcExt.LocationCreated", "Xmp.iptcExt.LocationShown",
    };
    const std::string key = datum.key();
    for (const char *prefix : prefixes) {
        if (key.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    }
    return false;
}

template <typename Data, typename Predicate>
int eraseWhere(Data &data, Predicate matches)
{
    int erased = 0;
    for (auto it = data.begin(); it != data.end();) {
        if (matches(*it)) {
            it = data.erase(it);
            ++erased;
        } else {
            ++it;
        }
    }
    return erased;
}

bool carriesLocation(const Containers &blocks)
{
    return std::any_of(blocks.exif.begin(), blocks.exif.end(), isExifLocation)
        || std::any_of(blocks.iptc.begin(), blocks.iptc.end(), isIptcLocation)
        || std::any_of(blocks.xmp.begin(), blocks.xmp.end(), isXmpLocation);
}

void removeLocationFrom(Containers *blocks)
{
    eraseWhere(blocks->exif, isExifLocation);
    eraseWhere(blocks->iptc, isIptcLocation);
    eraseWhere(blocks->xmp, isXmpLocation);
}

// --- The copy

// What describes how the original stores its pixels (a TIFF's size,
// strips and sub-images, its colour profile, the miniature in the second
// directory): false about the copy, a JPEG of another size.
void forgetOriginalStorage(Containers *blocks)
{
    static const char *const storageTags[] = {
        "Exif.Image.NewSubfileType", "Exif.Image.SubfileType", "Exif.Image.ImageWidth", "Exif.Image.ImageLength",
        "Exif.Image.BitsPerSample", "Exif.Image.Compression", "Exif.Image.PhotometricInterpretation",
        "Exif.Image.FillOrder", "Exif.Image.StripOffsets", "Exif.Image.SamplesPerPixel", "Exif.Image.RowsPerStrip",
        "Exif.Image.StripByteCounts", "Exif.Image.PlanarConfiguration", "Exif.Image.Predictor",
        "Exif.Image.TileWidth", "Exif.Image.TileLength", "Exif.Image.TileOffsets", "Exif.Image.TileByteCounts",
        "Exif.Image.SubIFDs", "Exif.Image.ExtraSamples", "Exif.Image.SampleFormat", "Exif.Image.JPEGTables",
        "Exif.Image.InterColorProfile",
    };
    eraseWhere(blocks->exif, [](const Exiv2::Exifdatum &datum) {
        const std::string group = datum.groupName();
        if (group == "Thumbnail" || group == "Image2" || group == "Image3" || group.compare(0, 8, "SubImage") == 0
            || group.compare(0, 8, "SubThumb") == 0)
            return true;
        const std::string key = datum.key();
        return std::any_of(std::begin(storageTags), std::end(storageTags),
                           [&key](const char *tag) { return key == tag; });
    });
    eraseWhere(blocks->xmp, [](const Exiv2::Xmpdatum &datum) {
        return datum.key() == "Xmp.tiff.ImageWidth" || datum.key() == "Xmp.tiff.ImageLength";
    });
}

template <typename Data, typename Key, typename Value>
void replaceIfThere(Data &data, const char *key, const Value &value)
{
    if (data.findKey(Key(key)) != data.end())
        data[key] = value;
}

// The copy is upright, and of its own size.
void describeCopy(Containers *blocks, const QSize &copySize)
{
    Exiv2::ExifData &exif = blocks->exif;
    if (!exif.empty())
        exif["Exif.Image.Orientation"] = uint16_t(1);
    replaceIfThere<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Photo.PixelXDimension", uint32_t(copySize.width()));
    replaceIfThere<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Photo.PixelYDimension", uint32_t(copySize.height()));
    Exiv2::XmpData &xmp = blocks->xmp;
    replaceIfThere<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.tiff.Orientation", std::string("1"));
    replaceIfThere<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.exif.PixelXDimension", std::to_string(copySize.width()));
    replaceIfThere<Exiv2::XmpData, Exiv2::XmpKey>(xmp, "Xmp.exif.PixelYDimension", std::to_string(copySize.height()));
}

// --- The words

// Exif's text fields are ASCII; one of another type would print as
// numbers ("79 76 89"), not words.
QByteArray bytesOf(const Exiv2::Metadatum &datum)
{
    if (std::strcmp(datum.familyName(), "Exif") == 0 && datum.typeId() != Exiv2::asciiString)
        return QByteArray();
    return QByteArray::fromStdString(datum.toString());
}

// A language alternative's default text, or its first.
QByteArray xmpText(const Exiv2::Xmpdatum &datum)
{
    const auto *alternatives = dynamic_cast<const Exiv2::LangAltValue *>(&datum.value());
    if (alternatives == nullptr)
        return bytesOf(datum);
    if (alternatives->value_.empty())
        return QByteArray();
    auto chosen = alternatives->value_.find("x-default");
    if (chosen == alternatives->value_.end())
        chosen = alternatives->value_.begin();
    return QByteArray::fromStdString(chosen->second);
}

template <typename Data, typename Key>
QByteArray storedText(const Data &data, const char *key)
{
    const auto found = data.findKey(Key(key));
    return found == data.end() ? QByteArray() : bytesOf(*found);
}

QByteArray exifText(const Containers &blocks, const char *key)
{
    return storedText<Exiv2::ExifData, Exiv2::ExifKey>(blocks.exif, key);
}

QString captionOf(const Containers &blocks)
{
    const QString make = MetadataText::decoded(exifText(blocks, "Exif.Image.Make"));
    const QString model = MetadataText::decoded(exifText(blocks, "Exif.Image.Model"));
    const QStringList camera { make, model, make + QLatin1Char(' ') + model };

    const auto xmp = blocks.xmp.findKey(Exiv2::XmpKey("Xmp.dc.description"));
    const QByteArray candidates[] = {
        xmp == blocks.xmp.end() ? QByteArray() : xmpText(*xmp),
        storedText<Exiv2::IptcData, Exiv2::IptcKey>(blocks.iptc, "Iptc.Application2.Caption"),
        exifText(blocks, "Exif.Image.ImageDescription"),
    };
    for (const QByteArray &candidate : candidates) {
        const QString words = MetadataText::decoded(candidate);
        if (!MetadataText::isFiller(words, camera))
            return words;
    }
    return QString();
}

QString takenAtOf(const Containers &blocks)
{
    return MetadataText::isoCaptureTime(exifText(blocks, "Exif.Photo.DateTimeOriginal"),
                                        exifText(blocks, "Exif.Photo.OffsetTimeOriginal"));
}

std::mutex xmpToolkitMutex;

void lockXmpToolkit(void *, bool lock)
{
    if (lock)
        xmpToolkitMutex.lock();
    else
        xmpToolkitMutex.unlock();
}

} // namespace

struct PhotoMetadata::Blocks : Containers
{
};

void PhotoMetadata::initialize()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize(lockXmpToolkit, nullptr);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler(noteComplaint);
#ifdef EXV_ENABLE_BMFF
        Exiv2::enableBMFF(true); // HEIC and AVIF
#endif
    });
}

PhotoMetadata PhotoMetadata::read(const QString &filePath)
{
    return readWith(QFileInfo(filePath).fileName(),
                    [&filePath](Blocks *blocks) { readInto(fileReader(filePath), blocks); });
}

PhotoMetadata PhotoMetadata::read(const QByteArray &bytes, const QString &name)
{
    return readWith(name, [&bytes](Blocks *blocks) {
        readInto(Exiv2::BasicIo::AutoPtr(new Exiv2::MemIo(reinterpret_cast<const Exiv2::byte *>(bytes.constData()),
                                                          long(bytes.size()))),
                 blocks);
    });
}

PhotoMetadata PhotoMetadata::readWith(const QString &name, const std::function<void(Blocks *)> &readBlocks)
{
    initialize();
    PhotoMetadata metadata;
    metadata.m_name = name;
    auto blocks = std::make_shared<Blocks>();
    const QString reason = failureOf([&] {
        readBlocks(blocks.get());
        metadata.m_caption = captionOf(*blocks);
        metadata.m_takenAt = takenAtOf(*blocks);
        metadata.m_hasLocation = carriesLocation(*blocks);
    });
    if (!reason.isEmpty()) {
        PhotoMetadata failed;
        failed.m_error = QStringLiteral("cannot read the metadata of %1 (%2)").arg(name, reason);
        return failed;
    }
    if (!blocks->empty())
        metadata.m_blocks = std::move(blocks);
    return metadata;
}

QString PhotoMetadata::writeOnto(const QString &jpegCopy, const QSize &copySize, bool keepLocation) const
{
    if (!m_blocks)
        return QString();
    const QString reason = failureOf([&] {
        Containers blocks = *m_blocks;
        forgetOriginalStorage(&blocks);
        describeCopy(&blocks, copySize);
        if (!keepLocation)
            removeLocationFrom(&blocks);
        Exiv2::Image::AutoPtr copy = openToWrite(jpegCopy);
        copy->readMetadata(); // what the JPEG writer put there (its colour profile) stays
        copy->setExifData(blocks.exif);
        copy->setIptcData(blocks.iptc);
        copy->setXmpData(blocks.xmp);
        copy->writeMetadata();
    });
    return reason.isEmpty() ? QString()
                            : QStringLiteral("cannot write the metadata of %1 onto its copy (%2)").arg(m_name, reason);
}

QString PhotoMetadata::removeLocation(const QString &copy, const QString &name)
{
    initialize();
    const QString reason = failureOf([&] {
        Exiv2::Image::AutoPtr image = openToWrite(copy);
        image->readMetadata();
        Containers blocks { image->exifData(), image->iptcData(), image->xmpData() };
        removeLocationFrom(&blocks);
        image->setExifData(blocks.exif);
        image->setIptcData(blocks.iptc);
        image->setXmpData(blocks.xmp);
        image->writeMetadata(); // rewrites the segments, copies the compressed picture as it is
    });
    return reason.isEmpty() ? QString() : QStringLiteral("cannot remove the location from %1 (%2)").arg(name, reason);
}
