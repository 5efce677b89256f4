#include "TestMain.h"
#include "json/QtJson.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QThread>

#include <cmath>
#include <cstring>

namespace {

struct NoConversion
{
};

// The same tree all the way down: same types and values (QVariant's own ==
// converts), or, against Qt's reading of a document, numbers by value.
bool same(const QVariant &a, const QVariant &b, bool numbersByValue = false)
{
    const auto isNumber = [](const QVariant &v) {
        return v.userType() == QMetaType::Double || v.userType() == QMetaType::LongLong
            || v.userType() == QMetaType::ULongLong;
    };
    if (numbersByValue && isNumber(a))
        return isNumber(b) && a.toDouble() == b.toDouble();
    if (numbersByValue && (!a.isValid() || a.userType() == QMetaType::Nullptr))
        return !b.isValid() || b.userType() == QMetaType::Nullptr;
    if (a.userType() != b.userType())
        return false;
    switch (a.userType()) {
    case QMetaType::QVariantList: {
        const QVariantList la = a.toList(), lb = b.toList();
        return la.size() == lb.size()
            && std::equal(la.cbegin(), la.cend(), lb.cbegin(),
                          [=](const QVariant &x, const QVariant &y) { return same(x, y, numbersByValue); });
    }
    case QMetaType::QVariantMap: {
        const QVariantMap ma = a.toMap(), mb = b.toMap();
        return ma.keys() == mb.keys()
            && std::all_of(ma.keyBegin(), ma.keyEnd(),
                           [&](const QString &key) { return same(ma.value(key), mb.value(key), numbersByValue); });
    }
    case QMetaType::Double:
        return std::memcmp(a.constData(), b.constData(), sizeof(double)) == 0;
    default:
        return a == b;
    }
}

// The text the UTF-8 entry must read bytes as.
QString utf8Text(const QByteArray &bytes)
{
    return bytes.isNull() ? QString() : QString::fromUtf8(bytes.constData(), bytes.size());
}

QString corpusDir()
{
    return QStringLiteral(JSON_CORPUS_DIR);
}

} // namespace

Q_DECLARE_METATYPE(NoConversion)

class tst_QtJson : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void numbers_data();
    void numbers();
    void utf8Bytes_data();
    void utf8Bytes();
    void nesting();
    void serialize_data();
    void serialize();
    void serializeFailure();
    void corpus();
};

void tst_QtJson::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("success");
    const QVariant invalid;
    QTest::newRow("null-string") << QString() << invalid << true;
    QTest::newRow("blanks-only") << QString(" \t\r\n") << invalid << false;
    QTest::newRow("key-order") << QString("{\"b\":1,\"a\":2}")
                               << QVariant(QVariantMap { { "a", 2ull }, { "b", 1ull } }) << true;
    // One slot of the key cache: each key must still be itself.
    QTest::newRow("keys-alike-at-both-ends") << QString("{\"name\":1,\"nave\":2}")
                                             << QVariant(QVariantMap { { "name", 1ull }, { "nave", 2ull } }) << true;
    QTest::newRow("duplicate-key-last-wins") << QString("{\"a\":1,\"a\":2}")
                                             << QVariant(QVariantMap { { "a", 2ull } }) << true;
    QTest::newRow("stray-commas") << QString("[1,,2,]") << QVariant(QVariantList { 1ull, 2ull }) << true;
    QTest::newRow("key-without-colon") << QString("{\"a\" 1}") << QVariant(QVariantMap()) << false;
    QTest::newRow("nested-failure-empties-top") << QString("[1,[2,x]]") << QVariant(QVariantList()) << false;
    QTest::newRow("unclosed-array") << QString("[1,2") << QVariant(QVariantList()) << false;
    QTest::newRow("trailing-text-ignored") << QString("[1] garbage") << QVariant(QVariantList { 1ull }) << true;
    QTest::newRow("false") << QString(" false") << QVariant(false) << true;
    QTest::newRow("non-latin-start") << QString::fromUtf8("\xc3\xa9") << invalid << false;
    QTest::newRow("escapes") << QString("\"\\b\\f\\n\\r\\t\\\"\\\\\\/\"")
                             << QVariant(QString("\b\f\n\r\t\"\\/")) << true;
    QTest::newRow("unknown-escape-drops-both") << QString("\"a\\xb\"") << QVariant(QString("ab")) << true;
    QTest::newRow("unicode") << QString("\"\\u00e9\\u4e2D\"") << QVariant(QString::fromUtf8("\xc3\xa9\xe4\xb8\xad")) << true;
    QTest::newRow("surrogate-pair") << QString("\"\\ud83d\\ude00\"") << QVariant(QString::fromUtf8("\xf0\x9f\x98\x80")) << true;
    QTest::newRow("non-hex-gives-nul") << QString("\"\\uzzzz.\"") << QVariant(QString(QChar(0)) + ".") << true;
    QTest::newRow("unicode-eats-quote") << QString("\"\\u12\"34\"") << QVariant(QString(QChar(0)) + "4") << true;
    QTest::newRow("empty-string") << QString("\"\"") << QVariant(QString("")) << true;
}

void tst_QtJson::parse()
{
    QFETCH(QString, text);
    QFETCH(QVariant, expected);
    QFETCH(bool, success);
    bool ok = !success;
    const QVariant result = QtJson::parse(text, ok);
    QCOMPARE(ok, success);
    QVERIFY2(same(result, expected), QtJson::serialize(result).constData());
    QVERIFY(same(QtJson::parse(text), expected));
    ok = !success;
    QVERIFY(same(QtJson::parse(text.toUtf8(), ok), expected) && ok == success);
}

// The UTF-8 entry reads bytes as QString::fromUtf8 of all of them would,
// in the corners too where decoding a run at a time could differ.
void tst_QtJson::utf8Bytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("graph-reply") << QByteArray(R"({"data":[{"id":"1","name":"Лето на даче","can_upload":true}]})");
    QTest::newRow("escapes-between-runs") << QByteArray("[\"\xc3\xa9\\n\xe4\xb8\xad\\u00e9\xf0\x9f\x98\x80\"]");
    QTest::newRow("byte-order-mark-first") << QByteArray("\xef\xbb\xbf{\"a\":1}");
    QTest::newRow("byte-order-mark-in-string") << QByteArray("[\"\xef\xbb\xbfx\",\"a\\n\xef\xbb\xbf\"]");
    QTest::newRow("non-ascii-after-u") << QByteArray("[\"\\u\xc3\xa9\xc3\xa9" "12\"]");
    QTest::newRow("short-non-ascii-after-u") << QByteArray("[\"\\u\xc3\xa9\"");
    QTest::newRow("non-ascii-escaped") << QByteArray("[\"\\\xf0\x9f\x8c\x80\"]");
    QTest::newRow("invalid-utf8") << QByteArray("[\"\xff\xc3\"\xe4\xb8\"]");
    QTest::newRow("nul-inside") << QByteArray("[\"a\0b\", 1]", 10);
    QTest::newRow("keys-alike") << QByteArray(R"([{"é":1},{"è":2},{"é":3}])");
    QTest::newRow("null") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("latin1-looking") << QByteArray("{\"\xe9\":1}");
    QTest::newRow("byte-order-mark-key") << QByteArray("{\"\xef\xbb\xbf" "error\":1}");
    QTest::newRow("byte-order-mark-key-beside-plain") << QByteArray("{\"a\":\"b\",\"\xef\xbb\xbf" "a\":\"b\"}");
}

void tst_QtJson::utf8Bytes()
{
    QFETCH(QByteArray, bytes);
    bool ok = false, expectedOk = false;
    const QVariant expected = QtJson::parse(utf8Text(bytes), expectedOk);
    // Twice: the second parse meets what the first left in the thread's caches.
    for (int pass = 0; pass < 2; ++pass) {
        const QVariant result = QtJson::parse(bytes, ok);
        QCOMPARE(ok, expectedOk);
        QVERIFY2(same(result, expected), QtJson::serialize(result) + " against " + QtJson::serialize(expected));
    }
}

void tst_QtJson::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("unsigned") << "5" << QVariant(5ull);
    QTest::newRow("signed") << "-5" << QVariant(-5ll);
    QTest::newRow("exponent") << "1e3" << QVariant(1000.0);
    QTest::newRow("malformed-stays-lenient") << "1-2" << QVariant(0ull);
    QTest::newRow("u64-max") << "18446744073709551615" << QVariant(18446744073709551615ull);
    QTest::newRow("u64-max-plus-one-is-double") << "18446744073709551616" << QVariant(18446744073709551616.0);
}

void tst_QtJson::numbers()
{
    QFETCH(QString, text);
    QFETCH(QVariant, expected);
    bool ok = false;
    QVariant result = QtJson::parse(text, ok);
    QVERIFY(ok);
    QVERIFY2(same(result, expected), qPrintable(result.toString()));
    // Inside a container the number ends at the first other character.
    result = QtJson::parse("[" + text + "]", ok);
    QVERIFY(ok);
    QVERIFY(same(result, QVariantList { expected }));
}

static QVariant parseOnThreadWithSmallStack(const QString &text, bool &ok)
{
    QVariant result;
    std::unique_ptr<QThread> thread(QThread::create([&] { result = QtJson::parse(text, ok); }));
#if defined(__SANITIZE_ADDRESS__)
    thread->setStackSize(2048 * 1024); // the sanitizer's frames are several times larger
#else
    thread->setStackSize(256 * 1024);
#endif
    thread->start();
    thread->wait();
    return result;
}

void tst_QtJson::nesting()
{
    const int limit = QtJson::maxNestingDepth;
    bool ok = false;
    QVariant result = QtJson::parse(QString(limit, '[') + QString(limit, ']'), ok);
    QVERIFY(ok);
    result = QtJson::parse(QString(limit + 1, '[') + QString(limit + 1, ']'), ok);
    QVERIFY(!ok);
    QVERIFY(same(result, QVariantList()));

    // Far past the limit, on a small stack: an ordinary failure.
    const QString deep = QString(1000000, '[');
    result = parseOnThreadWithSmallStack(deep, ok);
    QVERIFY(!ok);
    QVERIFY(same(result, QVariantList()));
    result = parseOnThreadWithSmallStack(QString("{\"a\":").repeated(100000), ok);
    QVERIFY(!ok);
    QVERIFY(same(result, QVariantMap()));
}

void tst_QtJson::serialize_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("invalid") << QVariant() << QByteArray("null");
    QTest::newRow("list") << QVariant(QVariantList { 1, "a" }) << QByteArray("[ 1, \"a\" ]");
    QTest::newRow("map-key-order") << QVariant(QVariantMap { { "b", true }, { "a", QVariant() } })
                                   << QByteArray("{ \"a\" : null, \"b\" : true }");
    QTest::newRow("double-20-digits") << QVariant(0.1) << QByteArray("0.10000000000000000555");
    QTest::newRow("double-exponent") << QVariant(1e21) << QByteArray("1e+21");
    QTest::newRow("nan") << QVariant(qQNaN()) << QByteArray("null");
    QTest::newRow("u64-max") << QVariant(18446744073709551615ull) << QByteArray("18446744073709551615");
    QTest::newRow("i64-min") << QVariant(qlonglong(-9223372036854775807ll - 1)) << QByteArray("-9223372036854775808");
    QTest::newRow("escapes") << QVariant(QString("\"\\\n\t/\b\f\r\x01"))
                             << QByteArray("\"\\\"\\\\\\n\\t/\\b\\f\\r\x01\"");
    QTest::newRow("utf8") << QVariant(QString::fromUtf8("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"))
                          << QByteArray("\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\"");
}

void tst_QtJson::serialize()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, expected);
    bool ok = false;
    const QByteArray text = QtJson::serialize(value, ok);
    QVERIFY(ok);
    QCOMPARE(text, expected);
    QCOMPARE(QtJson::serialize(value), expected);
}

void tst_QtJson::serializeFailure()
{
    const QVariant custom = QVariant::fromValue(NoConversion());
    const QVariant deep(QVariantMap { { "a", QVariantList { 1, QVariantMap { { "x", custom } } } } });
    for (const QVariant &value : { custom, deep }) {
        bool ok = true;
        const QByteArray text = QtJson::serialize(value, ok);
        QVERIFY(!ok);
        QVERIFY(text.isNull());
    }
}

// Every file of the public JSONTestSuite: nothing crashes or hangs, what is
// read is written back into JSON that reads back to the same text, and every document a
// strict reader must accept gives the values Qt's own reader sees.
void tst_QtJson::corpus()
{
    // The suite lives next to the repository, not in it: a clone on its own
    // still passes, and says what it did not check.
    if (!QDir(corpusDir()).exists())
        QSKIP(qPrintable("JSONTestSuite corpus not found at " + corpusDir() + ": the sweep was skipped"));
    QDirIterator files(corpusDir(), { "*.json" }, QDir::Files, QDirIterator::Subdirectories);
    int seen = 0, checked = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ++seen;
        bool ok = false, bytesOk = false;
        const QVariant value = QtJson::parse(utf8Text(bytes), ok);
        const QVariant fromBytes = QtJson::parse(bytes, bytesOk);
        QVERIFY2(bytesOk == ok && same(fromBytes, value), qPrintable(path));
        if (ok) {
            bool written = false;
            const QByteArray text = QtJson::serialize(value, written);
            QVERIFY2(written, qPrintable(path));
            bool again = false;
            // Control characters, NUL too, are written raw: keep them.
            const QVariant reread = QtJson::parse(QString::fromUtf8(text.constData(), text.size()), again);
            QVERIFY2(again && QtJson::serialize(reread) == text, qPrintable(path));
        }
        if (!files.fileName().startsWith("y_"))
            continue;
        QVERIFY2(ok, qPrintable(path));
        const QVariant qt = QJsonDocument::fromJson("[" + bytes + "]").toVariant().toList().value(0);
        QVERIFY2(same(value, qt, true), qPrintable(path));
        ++checked;
    }
    QVERIFY2(seen > 300, qPrintable(corpusDir()));
    QVERIFY(checked > 90);
}

ORVELLE_TEST_MAIN(tst_QtJson)
#include "tst_json.moc"
