// Run with ASAN_OPTIONS=allocator_may_return_null=1 (make fuzz does): Qt's
// impossible allocations must reach its own bad_alloc, as in a release build.
//
// Fuzzes the reader of the stored "CookieList" value: the cookie file is on
// disk, where anything may have been written into it. Reading must end (no
// crash, no hang, no unbounded memory), and whatever it read must be written
// and read back the same.
#include "network/CookieJar.h"

#include <QDataStream>
#include <QVariant>

#include <cstdint>
#include <cstdlib>
#include <new>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool registered = [] {
        // Unreadable cookies are reported as warnings: a flood, here.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        qRegisterMetaType<CookieList>("CookieList");
        qRegisterMetaTypeStreamOperators<CookieList>("CookieList");
        return true;
    }();
    Q_UNUSED(registered);
    if (size > 1 << 16)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    // Directly, and as the variant QSettings stores.
    CookieList cookies;
    {
        QDataStream stream(bytes);
        stream >> cookies;
    }
    {
        // As QSettings reads it. Qt believes the sizes it reads and throws when
        // one is impossible; the jar catches that (and so do we, here).
        QDataStream stream(bytes);
        stream.setVersion(QDataStream::Qt_4_0);
        QVariant value;
        try {
            stream >> value;
        } catch (const std::bad_alloc &) {
        }
    }

    QByteArray written;
    {
        QDataStream stream(&written, QIODevice::WriteOnly);
        stream << cookies;
    }
    CookieList again;
    QDataStream stream(written);
    stream >> again;
    if (again.size() != cookies.size())
        std::abort();
    return 0;
}
