#ifndef QTJSON_H
#define QTJSON_H

#include <QByteArray>
#include <QString>
#include <QVariant>

// A small JSON codec for Graph replies.
//
// The reader is lenient (stray commas are skipped, text after the first value
// is ignored) and reports failure only through `success` and an empty or
// invalid result, never by throwing. Objects become QVariantMap (key order),
// arrays QVariantList, numbers qulonglong / qlonglong / double, null an
// invalid QVariant.
//
// The writer uses a fixed spacing ("{ "a" : 1, "b" : [ 2 ] }") and returns a
// null QByteArray when some value has no JSON form.
namespace QtJson {

// Containers nested deeper than this fail like any malformed text.
constexpr int maxNestingDepth = 512;

QVariant parse(const QString &json);
QVariant parse(const QString &json, bool &success);
// UTF-8 bytes, read as QString::fromUtf8 of all of them would be, without
// making that string first.
QVariant parse(const QByteArray &json);
QVariant parse(const QByteArray &json, bool &success);

QByteArray serialize(const QVariant &data);
QByteArray serialize(const QVariant &data, bool &success);

} // namespace QtJson

#endif // QTJSON_H
