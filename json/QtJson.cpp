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

inline bool isBlank(ushort c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void eatWhitespace(const QString &json, int &index)
{
    const QChar *data = json.constData();
    const int size = json.size();
    while (index < size && isBlank(data[index].unicode()))
        ++index;
}

bool matches(const QChar *at, const char *literal, int length)
{
    for (int i = 0; i < length; ++i) {
        if (at[i].unicode() != ushort(literal[i]))
            return false;
    }
    return true;
}

int nextToken(const QString &json, int &index)
{
    eatWhitespace(json, index);
    const int size = json.size();
    if (index == size)
        return None;
    const QChar *data = json.constData();
    const ushort c = data[index].unicode();
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
    if (matches(data + index, "true", 4)) {
        index += 4;
        return True;
    }
    if (remaining >= 5 && matches(data + index, "false", 5)) {
        index += 5;
        return False;
    }
    if (matches(data + index, "null", 4)) {
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
ushort unicodeEscape(const QChar *at)
{
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexValue(at[i].unicode());
        if (digit < 0)
            return ushort(QString(at, 4).toInt(nullptr, 16));
        value = value * 16 + digit;
    }
    return ushort(value);
}

// Graph replies repeat the same few keys ("id", "name", "can_upload") in
// every object. Keys seen recently are handed out again as shared copies of
// one string instead of a new allocation each: a small direct-mapped cache,
// one per parse.
class KeyCache
{
public:
    QString intern(const QChar *text, int length)
    {
        if (length > maxKeyLength)
            return QString(text, length);
        const uint slot = (uint(length) * 31 + text[0].unicode() * 7 + text[length - 1].unicode()) % slotCount;
        QString &cached = m_slots[slot];
        if (cached.size() != length || std::memcmp(cached.constData(), text, size_t(length) * sizeof(QChar)) != 0)
            cached = QString(text, length);
        return cached;
    }

private:
    static constexpr int maxKeyLength = 32;
    static constexpr uint slotCount = 61;
    QString m_slots[slotCount];
};

// parseString's work, returning the text itself: object keys need no
// QVariant around them, and come from the key cache when given one.
QString readString(const QString &json, int &index, bool &success, KeyCache *keys = nullptr)
{
    const auto fail = [&success] {
        success = false;
        return QString();
    };
    eatWhitespace(json, index);
    ++index; // the opening mark, whatever stands there
    const QChar *data = json.constData();
    const int size = json.size();
    if (index >= size)
        return fail();

    // Plain runs are copied in one go; most strings have no escape at all.
    QString result;
    int runStart = index;
    while (true) {
        const ushort c = data[index].unicode();
        if (c == '"') {
            if (result.isNull()) {
                const int length = index++ - runStart;
                return keys && length > 0 ? keys->intern(data + runStart, length) : QString(data + runStart, length);
            }
            result.append(data + runStart, index++ - runStart);
            return result;
        }
        if (c != '\\') {
            if (++index == size)
                return fail();
            continue;
        }
        result.append(data + runStart, index - runStart);
        if (++index == size)
            return fail();
        const ushort escaped = data[index++].unicode();
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
            if (size - index < 4)
                return fail();
            result.append(QChar(unicodeEscape(data + index)));
            index += 4;
            break;
        default:
            break; // an unknown escape drops both characters
        }
        if (result.isNull())
            result = QLatin1String(""); // an escape that added nothing still starts the text
        if (index == size)
            return fail();
        runStart = index;
    }
}

QVariant parseString(const QString &json, int &index, bool &success)
{
    QString text = readString(json, index, success);
    return success ? QVariant(std::move(text)) : QVariant();
}

inline bool isNumberChar(ushort c)
{
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Digits only, optional leading minus: the value, or the nearest double when
// it does not fit 64 bits (an id must not silently become 0). Anything else
// ("1-2") is malformed and reads as 0 of its type.
QVariant integerNumber(const QChar *text, int length)
{
    const bool negative = text[0].unicode() == '-';
    const int first = negative ? 1 : 0;
    if (length == first)
        return negative ? QVariant(qlonglong(0)) : QVariant(qulonglong(0));
    quint64 magnitude = 0;
    bool overflow = false;
    for (int i = first; i < length; ++i) {
        const ushort c = text[i].unicode();
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
    return QVariant(QString(text, length).toDouble());
}

QVariant doubleNumber(const QChar *text, int length)
{
    // from_chars is exact and locale-free; texts it does not take whole go
    // through QString::toDouble for its own (lenient) answer.
    char buffer[64];
    if (length < int(sizeof buffer)) {
        for (int i = 0; i < length; ++i)
            buffer[i] = char(text[i].unicode());
        double value = 0;
        const auto [end, error] = std::from_chars(buffer, buffer + length, value);
        if (error == std::errc() && end == buffer + length)
            return QVariant(value);
    }
    return QVariant(QString(text, length).toDouble());
}

QVariant parseNumber(const QString &json, int &index)
{
    eatWhitespace(json, index);
    const QChar *data = json.constData();
    const int size = json.size();
    const int start = index;
    bool floating = false;
    while (index < size && isNumberChar(data[index].unicode())) {
        const ushort c = data[index].unicode();
        floating = floating || c == '.' || c == 'e' || c == 'E';
        ++index;
    }
    return floating ? doubleNumber(data + start, index - start)
                    : integerNumber(data + start, index - start);
}

QVariant parseValue(const QString &json, int &index, bool &success, int depth, KeyCache &keys);

// The object and array rules: commas are skipped wherever they stand, and
// a failure anywhere empties the container. readItem reads one member or
// item into the container and says whether that worked.
template<typename Container, int CloseToken, typename ReadItem>
QVariant parseContainer(const QString &json, int &index, bool &success, ReadItem readItem)
{
    Container container;
    nextToken(json, index); // the opening bracket
    while (true) {
        int peek = index;
        const int token = nextToken(json, peek);
        if (token == Comma) {
            index = peek;
            continue;
        }
        if (token == CloseToken) {
            index = peek;
            return container;
        }
        if (token == None || !readItem(container)) {
            success = false;
            return Container();
        }
    }
}

QVariant parseObject(const QString &json, int &index, bool &success, int depth, KeyCache &keys)
{
    return parseContainer<QVariantMap, ObjectClose>(json, index, success, [&](QVariantMap &map) {
        const QString key = readString(json, index, success, &keys);
        if (!success || nextToken(json, index) != Colon)
            return false;
        QVariant value = parseValue(json, index, success, depth, keys);
        if (!success)
            return false;
        // Swapped in: a copy would touch the value's reference count twice.
        map.insert(key, QVariant()).value().swap(value);
        return true;
    });
}

QVariant parseArray(const QString &json, int &index, bool &success, int depth, KeyCache &keys)
{
    return parseContainer<QVariantList, ArrayClose>(json, index, success, [&](QVariantList &list) {
        QVariant value = parseValue(json, index, success, depth, keys);
        if (!success)
            return false;
        list.append(QVariant());
        list.last().swap(value);
        return true;
    });
}

QVariant parseValue(const QString &json, int &index, bool &success, int depth, KeyCache &keys)
{
    int peek = index;
    switch (nextToken(json, peek)) {
    case ObjectOpen:
    case ArrayOpen:
        if (depth >= QtJson::maxNestingDepth) {
            success = false;
            return QVariant();
        }
        return json.at(peek - 1) == QLatin1Char('{') ? parseObject(json, index, success, depth + 1, keys)
                                                      : parseArray(json, index, success, depth + 1, keys);
    case String:
        return parseString(json, index, success);
    case Number:
        return parseNumber(json, index);
    case True:
        index = peek;
        return QVariant(true);
    case False:
        index = peek;
        return QVariant(false);
    case Null:
        index = peek;
        return QVariant();
    default:
        success = false;
        return QVariant();
    }
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
    int index = 0;
    KeyCache keys;
    return parseValue(json, index, success, 0, keys);
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
