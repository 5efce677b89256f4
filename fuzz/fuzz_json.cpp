// Fuzzes the JSON reader, both entries (UTF-16 text and UTF-8 bytes, which
// must agree); every value it accepts must be written as text that reads back. From the second generation on, writing is stable: the
// first may still change a lone surrogate, which UTF-8 cannot hold.
#include "json/QtJson.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    bool ok = false;
    const QVariant value = QtJson::parse(text, ok);
    QtJson::parse(text); // the one-argument form must behave the same
    // The UTF-8 entry reads the bytes as that text.
    bool bytesOk = false;
    const QVariant fromBytes = QtJson::parse(bytes, bytesOk);
    if (bytesOk != ok || (ok && QtJson::serialize(fromBytes) != QtJson::serialize(value)))
        std::abort();
    if (!ok)
        return 0;
    bool written = false;
    const QByteArray json = QtJson::serialize(value, written);
    if (!written || json.isNull())
        std::abort();
    const auto reread = [](const QByteArray &text) {
        bool again = false;
        const QByteArray out = QtJson::serialize(QtJson::parse(QString::fromUtf8(text.constData(), text.size()), again));
        if (!again || out.isNull())
            std::abort();
        return out;
    };
    const QByteArray second = reread(json);
    if (reread(second) != second)
        std::abort();
    return 0;
}
