#include "QtJson.h"

#include <QVariantHash>
#include <QVariantList>
#include <QVariantMap>

#include <charconv>
#include <cstring>
#include <cmath>
#include <limits>

namespace {

// Qt 6 converts to a QMetaType, Qt 5 to a type id.
bool canConvert(const QVariant &value, int typeId)
{
#if QT_VERSION_MAJOR >= 6
    return value.canConvert(QMetaType(typeId));
#else
    return value.canConvert(typeId);
#endif
}

bool convert(QVariant &value, int typeId)
{
#if QT_VERSION_MAJOR >= 6
    return value.convert(QMetaType(typeId));
#else
    return value.convert(typeId);
#endif
}


enum TokenKind {
    None = 0,
    ObjectOpen,
    ObjectClose,
    ArrayOpen,
    ArrayClose,
    Colon,
    Comma,
    String,
    Number,
    True,
    False,
    Null
};

// ---------------------------------------------------------------- reader

// The reader works on either form of the text: UTF-16 (a QString) or UTF-8
// bytes. Everything outside strings is ASCII, so both are walked unit by
// unit alike; only the text of strings is decoded, a run at a time.
inline ushort code(QChar unit)
{
    return unit.unicode();
}

inline ushort code(char unit)
{
    return uchar(unit);
}

class Utf16Text
{
public:
    using Unit = QChar;
    explicit Utf16Text(const QString &text) : m_data(text.constData()), m_size(text.size()) { }
    int size() const { return m_size; }
    ushort at(int index) const { return m_data[index].unicode(); }
    const QChar *units(int index) const { return m_data + index; }
    QString text(int from, int length) const { return QString(m_data + from, length); }
    void appendTo(QString &out, int from, int length) const { out.append(m_data + from, length); }
    bool escapeReadable(int) const { return true; }
    void escapedNonAscii() const { }
    bool cacheable(int, int) const { return true; }
    // The first quote or backslash from index on, or size().
    int runEnd(int index) const
    {
        while (index < m_size && m_data[index] != QLatin1Char('"') && m_data[index] != QLatin1Char('\\'))
            ++index;
        return index;
    }

private:
    const QChar *m_data;
    int m_size;
};

// Reads as QString::fromUtf8 of the whole text would. A few corners decode
// differently a run at a time (a byte order mark opening a run, which
// fromUtf8 drops; non-ASCII bytes right after a backslash, where UTF-16
// counts units that are not bytes); they set `detour`, and the caller reads
// the whole text again as UTF-16.
class Utf8Text
{
public:
    using Unit = char;
    explicit Utf8Text(const QByteArray &bytes) : m_data(bytes.constData()), m_size(bytes.size()) { }
    int size() const { return m_size; }
    ushort at(int index) const { return uchar(m_data[index]); }
    const char *units(int index) const { return m_data + index; }
    QString text(int from, int length) const
    {
        if (opensWithByteOrderMark(from, length))
            detour = true;
        return QString::fromUtf8(m_data + from, length);
    }
    // A key read from the cache skips text(), and with it the detour that
    // such a run takes: it would read one way on a thread's first parse and
    // another on the next.
    bool cacheable(int from, int length) const { return !opensWithByteOrderMark(from, length); }
    void appendTo(QString &out, int from, int length) const { out += text(from, length); }
    // The first quote or backslash from index on, or size(): the C
    // library's scan, many bytes at a time.
    int runEnd(int index) const
    {
        const char *from = m_data + index;
        const char *end = m_data + m_size;
        const auto *quote = static_cast<const char *>(std::memchr(from, '"', size_t(end - from)));
        const char *stop = quote ? quote : end;
        const auto *backslash = static_cast<const char *>(std::memchr(from, '\\', size_t(stop - from)));
        return int((backslash ? backslash : stop) - m_data);
    }
    // A backslash takes one unit with it: in UTF-8 a byte, not a character.
    void escapedNonAscii() const { detour = true; }
    bool escapeReadable(int from) const
    {
        for (int i = from; i < from + 4; ++i) {
            if (uchar(m_data[i]) >= 0x80)
                return !(detour = true);
        }
        return true;
    }

    mutable bool detour = false;

private:
    bool opensWithByteOrderMark(int from, int length) const
    {
        return length >= 3 && std::memcmp(m_data + from, "\xef\xbb\xbf", 3) == 0;
    }

    const char *m_data;
    int m_size;
};

inline bool isBlank(ushort c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

template<typename Text>
void eatWhitespace(const Text &json, int &index)
{
    const int size = json.size();
    while (index < size && isBlank(json.at(index)))
        ++index;
}

template<typename Text>
bool matches(const Text &json, int index, const char *literal, int length)
{
    for (int i = 0; i < length; ++i) {
        if (json.at(index + i) != ushort(literal[i]))
            return false;
    }
    return true;
}

// The next token's kind; index moves past it, and start (when given) is
// where it begins.
template<typename Text>
int nextToken(const Text &json, int &index, int *start = nullptr)
{
    eatWhitespace(json, index);
    if (start)
        *start = index;
    const int size = json.size();
    if (index == size)
        return None;
    const ushort c = json.at(index);
    ++index;
    switch (c) {
    case '{': return ObjectOpen;
    case '}': return ObjectClose;
    case '[': return ArrayOpen;
    case ']': return ArrayClose;
    case ':': return Colon;
    case ',': return Comma;
    case '"': return String;
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return Number;
    default:
        break;
    }
    --index;
    const int remaining = size - index;
    if (remaining < 4)
        return None;
    if (matches(json, index, "true", 4)) {
        index += 4;
        return True;
    }
    if (remaining >= 5 && matches(json, index, "false", 5)) {
        index += 5;
        return False;
    }
    if (matches(json, index, "null", 4)) {
        index += 4;
        return Null;
    }
    return None;
}

inline int hexValue(ushort c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Four units after "\u", read the way QString::toInt(base 16) reads them,
// with a direct path for the usual four hex digits.
template<typename Text>
ushort unicodeEscape(const Text &json, int index)
{
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexValue(json.at(index + i));
        if (digit < 0)
            return ushort(json.text(index, 4).toInt(nullptr, 16));
        value = value * 16 + digit;
    }
    return ushort(value);
}

// Graph replies repeat the same few keys ("id", "name", "can_upload") in
// every object. Keys seen recently are handed out again as shared copies of
// one string instead of a new allocation each: a small direct-mapped cache,
// keyed by the key's units as they stand in the text.
template<typename Text>
class KeyCache
{
public:
    using Unit = typename Text::Unit;

    QString intern(const Text &json, int from, int length)
    {
        if (length > maxKeyLength || !json.cacheable(from, length))
            return json.text(from, length);
        const Unit *units = json.units(from);
        const uint slot = (uint(length) * 31 + code(units[0]) * 7 + code(units[length - 1])) % slotCount;
        Slot &cached = m_slots[slot];
        if (cached.length != length || std::memcmp(cached.units, units, size_t(length) * sizeof(Unit)) != 0) {
            std::memcpy(cached.units, units, size_t(length) * sizeof(Unit));
            cached.length = length;
            cached.text = json.text(from, length);
        }
        return cached.text;
    }

private:
    static constexpr int maxKeyLength = 32;
    static constexpr uint slotCount = 61;
    struct Slot
    {
        char units[maxKeyLength * sizeof(Unit)]; // raw: nothing to construct per parse
        int length = -1;
        QString text;
    };
    Slot m_slots[slotCount];
};

// A string's text: object keys need no QVariant around them, and come from
// the key cache when given one.
template<typename Text>
QString readString(const Text &json, int &index, bool &success, KeyCache<Text> *keys = nullptr)
{
    const auto fail = [&success] {
        success = false;
        return QString();
    };
    eatWhitespace(json, index);
    ++index; // the opening mark, whatever stands there
    const int size = json.size();
    if (index >= size)
        return fail();

    // Plain runs are copied in one go; most strings have no escape at all.
    QString result;
    int runStart = index;
    while (true) {
        index = json.runEnd(index);
        if (index == size)
            return fail();
        const ushort c = json.at(index);
        if (c == '"') {
            if (result.isNull()) {
                const int length = index++ - runStart;
                return keys && length > 0 ? keys->intern(json, runStart, length) : json.text(runStart, length);
            }
            json.appendTo(result, runStart, index++ - runStart);
            return result;
        }
        json.appendTo(result, runStart, index - runStart);
        if (++index == size)
            return fail();
        const ushort escaped = json.at(index++);
        switch (escaped) {
        case '"': result.append(QLatin1Char('"')); break;
        case '/': result.append(QLatin1Char('/')); break;
        case '\\': result.append(QLatin1Char('\\')); break;
        case 'b': result.append(QChar(0x08)); break;
        case 'f': result.append(QChar(0x0c)); break;
        case 'n': result.append(QChar(0x0a)); break;
        case 'r': result.append(QChar(0x0d)); break;
        case 't': result.append(QChar(0x09)); break;
        case 'u':
            if (size - index < 4 || !json.escapeReadable(index))
                return fail();
            result.append(QChar(unicodeEscape(json, index)));
            index += 4;
            break;
        default:
            if (escaped >= 0x80)
                json.escapedNonAscii();
            break; // an unknown escape drops both characters
        }
        if (result.isNull())
            result = QLatin1String(""); // an escape that added nothing still starts the text
        if (index == size)
            return fail();
        runStart = index;
    }
}

inline bool isNumberChar(ushort c)
{
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Digits only, optional leading minus: the value, or the nearest double when
// it does not fit 64 bits (an id must not silently become 0). Anything else
// ("1-2") is malformed and reads as 0 of its type.
template<typename Text>
QVariant integerNumber(const Text &json, int from, int length)
{
    const bool negative = json.at(from) == '-';
    const int first = negative ? 1 : 0;
    if (length == first)
        return negative ? QVariant(qlonglong(0)) : QVariant(qulonglong(0));
    quint64 magnitude = 0;
    bool overflow = false;
    for (int i = first; i < length; ++i) {
        const ushort c = json.at(from + i);
        if (c < '0' || c > '9')
            return negative ? QVariant(qlonglong(0)) : QVariant(qulonglong(0));
        const quint64 digit = c - '0';
        if (magnitude > (std::numeric_limits<quint64>::max() - digit) / 10)
            overflow = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (!negative && !overflow)
        return QVariant(qulonglong(magnitude));
    const quint64 negativeLimit = quint64(std::numeric_limits<qint64>::max()) + 1;
    if (negative && !overflow && magnitude <= negativeLimit)
        return QVariant(magnitude == negativeLimit ? std::numeric_limits<qint64>::min()
                                                   : -qint64(magnitude));
    return QVariant(json.text(from, length).toDouble());
}

template<typename Text>
QVariant doubleNumber(const Text &json, int from, int length)
{
    // from_chars is exact and locale-free; texts it does not take whole go
    // through QString::toDouble for its own (lenient) answer.
    char buffer[64];
    if (length < int(sizeof buffer)) {
        for (int i = 0; i < length; ++i)
            buffer[i] = char(json.at(from + i));
        double value = 0;
        const auto [end, error] = std::from_chars(buffer, buffer + length, value);
        if (error == std::errc() && end == buffer + length)
            return QVariant(value);
    }
    return QVariant(json.text(from, length).toDouble());
}

template<typename Text>
QVariant parseNumber(const Text &json, int &index)
{
    eatWhitespace(json, index);
    const int size = json.size();
    const int start = index;
    bool floating = false;
    while (index < size && isNumberChar(json.at(index))) {
        const ushort c = json.at(index);
        floating = floating || c == '.' || c == 'e' || c == 'E';
        ++index;
    }
    return floating ? doubleNumber(json, start, index - start) : integerNumber(json, start, index - start);
}

template<typename Text>
QVariant valueAt(const Text &json, int token, int start, int &index, bool &success, int depth, KeyCache<Text> &keys);

// The object and array rules: commas are skipped wherever they stand, and
// a failure anywhere empties the container. Each item's first token is read
// here, once; readItem reads the rest of the member or item into the
// container and says whether that worked.
template<typename Container, int CloseToken, typename Text, typename ReadItem>
QVariant parseContainer(const Text &json, int &index, bool &success, ReadItem readItem)
{
    Container container;
    while (true) {
        int start = 0;
        const int token = nextToken(json, index, &start);
        if (token == Comma)
            continue;
        if (token == CloseToken)
            return container;
        if (token == None || !readItem(container, token, start)) {
            success = false;
            return Container();
        }
    }
}

template<typename Text>
QVariant parseObject(const Text &json, int &index, bool &success, int depth, KeyCache<Text> &keys)
{
    return parseContainer<QVariantMap, ObjectClose>(json, index, success, [&](QVariantMap &map, int, int start) {
        index = start; // the key's opening mark, whatever token stood there
        const QString key = readString(json, index, success, &keys);
        if (!success)
            return false;
        if (index < json.size() && json.at(index) == ':')
            ++index; // the usual case, without a look for blanks
        else if (nextToken(json, index) != Colon)
            return false;
        int valueStart = 0;
        const int token = nextToken(json, index, &valueStart);
        QVariant value = valueAt(json, token, valueStart, index, success, depth, keys);
        if (!success)
            return false;
        // Swapped in: a copy would touch the value's reference count twice.
        map.insert(key, QVariant()).value().swap(value);
        return true;
    });
}

template<typename Text>
QVariant parseArray(const Text &json, int &index, bool &success, int depth, KeyCache<Text> &keys)
{
    return parseContainer<QVariantList, ArrayClose>(json, index, success, [&](QVariantList &list, int token, int start) {
        QVariant value = valueAt(json, token, start, index, success, depth, keys);
        if (!success)
            return false;
        list.append(QVariant());
        list.last().swap(value);
        return true;
    });
}

// The value whose first token (read from start, up to index) was token.
template<typename Text>
QVariant valueAt(const Text &json, int token, int start, int &index, bool &success, int depth, KeyCache<Text> &keys)
{
    switch (token) {
    case ObjectOpen:
    case ArrayOpen:
        if (depth >= QtJson::maxNestingDepth) {
            success = false;
            return QVariant();
        }
        return token == ObjectOpen ? parseObject(json, index, success, depth + 1, keys)
                                   : parseArray(json, index, success, depth + 1, keys);
    case String: {
        index = start;
        QString text = readString(json, index, success);
        return success ? QVariant(std::move(text)) : QVariant();
    }
    case Number:
        index = start;
        return parseNumber(json, index);
    case True:
        return QVariant(true);
    case False:
        return QVariant(false);
    case Null:
        return QVariant();
    default:
        success = false;
        return QVariant();
    }
}

template<typename Text>
QVariant parseText(const Text &json, bool &success)
{
    success = true;
    int index = 0;
    // Kept from one parse to the next on each thread: setting a cache up
    // and tearing it down would cost a small reply more than it saves.
    static thread_local KeyCache<Text> keys;
    int start = 0;
    const int token = nextToken(json, index, &start);
    return valueAt(json, token, start, index, success, 0, keys);
}

// ---------------------------------------------------------------- writer

QString sanitizeString(QString str)
{
    str.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    str.replace(QLatin1String("\""), QLatin1String("\\\""));
    str.replace(QLatin1String("\b"), QLatin1String("\\b"));
    str.replace(QLatin1String("\f"), QLatin1String("\\f"));
    str.replace(QLatin1String("\n"), QLatin1String("\\n"));
    str.replace(QLatin1String("\r"), QLatin1String("\\r"));
    str.replace(QLatin1String("\t"), QLatin1String("\\t"));
    return QLatin1String("\"") + str + QLatin1String("\"");
}

inline char escapeLetter(ushort c)
{
    switch (c) {
    case '\\': return '\\';
    case '"': return '"';
    case 0x08: return 'b';
    case 0x0c: return 'f';
    case 0x0a: return 'n';
    case 0x0d: return 'r';
    case 0x09: return 't';
    default: return 0;
    }
}

// Appends sanitizeString(str) as UTF-8 without building the intermediate
// strings. Text with a lone surrogate goes the long way, so that it is
// encoded exactly as QString::toUtf8 encodes it.
void appendString(QByteArray &out, const QString &str)
{
    const QChar *data = str.constData();
    const int size = str.size();
    const int start = out.size();
    out.resize(start + 3 * size + 2);
    char *write = out.data() + start;
    *write++ = '"';
    for (int i = 0; i < size; ++i) {
        const ushort c = data[i].unicode();
        if (c < 0x80) {
            if (const char letter = escapeLetter(c)) {
                *write++ = '\\';
                *write++ = letter;
            } else {
                *write++ = char(c);
            }
        } else if (c < 0x800) {
            *write++ = char(0xc0 | (c >> 6));
            *write++ = char(0x80 | (c & 0x3f));
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(data[i + 1].unicode())) {
            const uint code = QChar::surrogateToUcs4(c, data[++i].unicode());
            *write++ = char(0xf0 | (code >> 18));
            *write++ = char(0x80 | ((code >> 12) & 0x3f));
            *write++ = char(0x80 | ((code >> 6) & 0x3f));
            *write++ = char(0x80 | (code & 0x3f));
        } else if (QChar::isSurrogate(c)) {
            out.resize(start);
            out += sanitizeString(str).toUtf8();
            return;
        } else {
            *write++ = char(0xe0 | (c >> 12));
            *write++ = char(0x80 | ((c >> 6) & 0x3f));
            *write++ = char(0x80 | (c & 0x3f));
        }
    }
    *write++ = '"';
    out.resize(int(write - out.constData()));
}

void appendDouble(QByteArray &out, double value)
{
    // JSON has no NaN or infinity; null is what JavaScript writes for them.
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    const QByteArray text = QByteArray::number(value, 'g', 20);
    out += text;
    if (!text.contains('.') && !text.contains('e'))
        out += ".0";
}

bool write(QByteArray &out, const QVariant &data);

template<typename Container>
bool writeObject(QByteArray &out, const Container &members)
{
    out += "{ ";
    bool first = true;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (!first)
            out += ", ";
        first = false;
        appendString(out, it.key());
        out += " : ";
        if (!write(out, it.value()))
            return false;
    }
    out += " }";
    return true;
}

bool writeArray(QByteArray &out, const QVariantList &items)
{
    out += "[ ";
    bool first = true;
    for (const QVariant &item : items) {
        if (!first)
            out += ", ";
        first = false;
        if (!write(out, item))
            return false;
    }
    out += " ]";
    return true;
}

// The rules in their order: the first that matches the value writes it.
bool write(QByteArray &out, const QVariant &data)
{
    if (!data.isValid()) {
        out += "null";
        return true;
    }
    switch (data.userType()) {
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return writeArray(out, data.toList());
    case QMetaType::QVariantHash:
        return writeObject(out, *reinterpret_cast<const QVariantHash *>(data.constData()));
    case QMetaType::QVariantMap:
        return writeObject(out, *reinterpret_cast<const QVariantMap *>(data.constData()));
    case QMetaType::QString:
        appendString(out, *reinterpret_cast<const QString *>(data.constData()));
        return true;
    case QMetaType::QByteArray:
        appendString(out, data.toString());
        return true;
    case QMetaType::Double:
    case QMetaType::Float: // written like doubles: 0.5f must not become 0
        appendDouble(out, data.toDouble());
        return true;
    case QMetaType::Bool:
        out += data.toBool() ? "true" : "false";
        return true;
    case QMetaType::ULongLong:
        out += QByteArray::number(data.toULongLong());
        return true;
    default:
        break;
    }
    if (canConvert(data, QMetaType::LongLong)) {
        QVariant converted = data;
        out += QByteArray::number(convert(converted, QMetaType::LongLong) ? converted.toLongLong() : 0);
        return true;
    }
    if (canConvert(data, QMetaType::Long)) {
        QVariant converted = data;
        const long value = convert(converted, QMetaType::Long) ? converted.value<long>() : 0;
        out += QString::number(value, 10).toUtf8();
        return true;
    }
    if (canConvert(data, QMetaType::QString)) {
        appendString(out, data.toString());
        return true;
    }
    return false;
}

} // namespace

namespace QtJson {

QVariant parse(const QString &json)
{
    bool success = true;
    return parse(json, success);
}

QVariant parse(const QString &json, bool &success)
{
    success = true;
    if (json.isNull())
        return QVariant();
    return parseText(Utf16Text(json), success);
}

QVariant parse(const QByteArray &json)
{
    bool success = true;
    return parse(json, success);
}

QVariant parse(const QByteArray &json, bool &success)
{
    success = true;
    if (json.isNull())
        return QVariant();
    const Utf8Text text(json);
    // fromUtf8 drops a byte order mark that opens the text.
    if (!json.startsWith("\xef\xbb\xbf")) {
        QVariant value = parseText(text, success);
        if (!text.detour)
            return value;
    }
    return parse(QString::fromUtf8(json.constData(), json.size()), success);
}

QByteArray serialize(const QVariant &data)
{
    bool success = true;
    return serialize(data, success);
}

QByteArray serialize(const QVariant &data, bool &success)
{
    QByteArray out;
    success = write(out, data);
    if (!success)
        return QByteArray();
    return out;
}

} // namespace QtJson
