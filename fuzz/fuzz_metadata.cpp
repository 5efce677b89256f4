// Fuzzes the reading of a photo's metadata (Exif, IPTC, XMP through Exiv2)
// from any bytes, as from a file the user picked: whatever they hold, the
// reading ends with the metadata or with the photo's one error line; no
// crash, no hang, no memory beyond what the bytes justify.
#include "host/preparation/PhotoMetadata.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = [] {
        PhotoMetadata::initialize(); // as the host does, before any photo
        return true;
    }();
    Q_UNUSED(ready);
    if (size > 1 << 22)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const PhotoMetadata metadata = PhotoMetadata::read(bytes, QStringLiteral("IMG_0001.jpg"));
    const QString error = metadata.error();
    const bool oneLine = error.startsWith(QLatin1String("cannot read the metadata of IMG_0001.jpg ("))
        && error.endsWith(QLatin1Char(')')) && !error.contains(QLatin1Char('\n'));
    if (!error.isEmpty() && (!oneLine || !metadata.isEmpty()))
        std::abort();
    // The padding of fixed-size fields is not part of the words.
    for (const QChar c : metadata.caption() + metadata.takenAt()) {
        if (c == QChar(0))
            std::abort();
    }
    return 0;
}
