#include "SandboxProcess.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QHttpMultiPart>
#include <QNetworkCookieJar>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QUrlQuery>

namespace {

const QByteArray pngBytes("\x89PNG\r\n\x1a\n-pretend-png-body");
const QByteArray jpegBytes("\xff\xd8\xff\xe0-pretend-jpeg");
const QByteArray appId = "154093124663728";

int errorCode(const SandboxProcess::Reply &reply)
{
    return reply.json().object().value("error").toObject().value("code").toInt(-1);
}

} // namespace

// The sandbox seen from outside, through a real HTTP client.
class tst_Sandbox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void tokenErrors_data();
    void tokenErrors();
    void uploads_data();
    void uploads();
    void hostileValuesAreInert_data();
    void hostileValuesAreInert();
    void otherSitesAreRefused_data();
    void otherSitesAreRefused();

private:
    SandboxProcess::Reply upload(const QByteArray &path, const QByteArray &token, const QByteArray &message,
                                 const QByteArray &bytes, const QByteArray &fileName = "photo.png");
    QStringList storedFiles() const;

    std::unique_ptr<SandboxProcess> m_sandbox;
};

void tst_Sandbox::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>();
    QVERIFY(m_sandbox->start());
}

void tst_Sandbox::init()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=0&new_permissions=0&feed_cancel_error=0&upload_limit=26214400"));
}

SandboxProcess::Reply tst_Sandbox::upload(const QByteArray &path, const QByteArray &token,
                                          const QByteArray &message, const QByteArray &bytes,
                                          const QByteArray &fileName)
{
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart messagePart;
    messagePart.setHeader(QNetworkRequest::ContentDispositionHeader, "form-data; name=\"message\"");
    messagePart.setBody(message);
    QHttpPart sourcePart;
    sourcePart.setHeader(QNetworkRequest::ContentTypeHeader, "image/png");
    sourcePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                         "form-data; name=\"source\"; filename=\"" + fileName + "\"");
    sourcePart.setBody(bytes);
    body->append(messagePart);
    body->append(sourcePart);
    QNetworkRequest request(QUrl::fromEncoded(m_sandbox->origin() + path + "?access_token=" + token));
    QNetworkReply *reply = m_sandbox->manager().post(request, body);
    body->setParent(reply);
    return m_sandbox->send(reply);
}

QStringList tst_Sandbox::storedFiles() const
{
    QStringList files;
    QDirIterator it(m_sandbox->dataDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(m_sandbox->dataDir()).relativeFilePath(it.next());
    return files;
}

void tst_Sandbox::tokenErrors_data()
{
    QTest::addColumn<QByteArray>("setup"); // a control call before the request
    QTest::addColumn<QByteArray>("token"); // "valid" for a fresh token
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("subcode");
    QTest::newRow("missing") << QByteArray() << QByteArray() << 400 << 2500 << 0;
    QTest::newRow("unknown") << QByteArray() << QByteArray("EAASnotatoken") << 400 << 190 << 0;
    QTest::newRow("expired") << QByteArray("/__sandbox/expire-tokens") << QByteArray("valid") << 400 << 190 << 463;
    QTest::newRow("revoked") << QByteArray("/__sandbox/revoke-tokens") << QByteArray("valid") << 400 << 190 << 458;
    QTest::newRow("no-permission") << QByteArray("/__sandbox/revoke-permission?name=user_photos")
                                   << QByteArray("valid") << 403 << 200 << 0;
}

void tst_Sandbox::tokenErrors()
{
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, token);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(int, subcode);
    if (token == "valid")
        token = m_sandbox->token("user_photos");
    if (!setup.isEmpty())
        QCOMPARE(m_sandbox->post(setup).status, 200);
    const auto reply = m_sandbox->get("/me/albums?access_token=" + token);
    QCOMPARE(reply.status, status);
    const QJsonObject error = reply.json().object().value("error").toObject();
    QCOMPARE(error.value("code").toInt(), code);
    QCOMPARE(error.value("type").toString(), QStringLiteral("OAuthException"));
    QCOMPARE(error.value("error_subcode").toInt(), subcode);
    QVERIFY(!error.value("message").toString().isEmpty());
    QVERIFY(!error.value("fbtrace_id").toString().isEmpty());
    QVERIFY(!error.contains("is_transient"));
}

void tst_Sandbox::uploads_data()
{
    QTest::addColumn<QByteArray>("album"); // "me", an album name, or an id
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code"); // 0: stored
    QTest::newRow("default-album") << QByteArray("me") << pngBytes << QByteArray("a.png") << 200 << 0;
    QTest::newRow("named-album") << QByteArray("Mobile Uploads") << jpegBytes << QByteArray("a.jpg") << 200 << 0;
    QTest::newRow("album-refuses") << QByteArray("Profile Pictures") << pngBytes << QByteArray("a.png") << 400 << 120;
    QTest::newRow("not-an-image") << QByteArray("me") << QByteArray("hello") << QByteArray("a.png") << 400 << 324;
    QTest::newRow("hostile-name") << QByteArray("me") << pngBytes << QByteArray("../../x\\\".png\x01") << 200 << 0;
    QTest::newRow("too-large") << QByteArray("me") << QByteArray(pngBytes + QByteArray(2000, 'x'))
                               << QByteArray("big.png") << 400 << 1;
}

void tst_Sandbox::uploads()
{
    QFETCH(QByteArray, album);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, fileName);
    QFETCH(int, status);
    QFETCH(int, code);
    QVERIFY(m_sandbox->setSwitch("upload_limit=1000"));
    const QByteArray token = m_sandbox->token();
    QByteArray albumId = album;
    if (album != "me" && album != "123") {
        const QJsonArray albums = m_sandbox->get("/me/albums?access_token=" + token).json().object().value("data").toArray();
        for (const QJsonValue &value : albums) {
            if (value.toObject().value("name").toString() == QString::fromUtf8(album))
                albumId = value.toObject().value("id").toString().toUtf8();
        }
    }
    const QByteArray message = QString::fromUtf8("Привет & <b>hi</b>").toUtf8();
    const auto reply = upload("/" + albumId + "/photos", token, message, bytes, fileName);
    QCOMPARE(reply.status, status);
    const QJsonArray photos = m_sandbox->get("/__sandbox/photos").json().array();
    if (code) {
        QCOMPARE(errorCode(reply), code);
        QCOMPARE(photos.size(), 0);
    } else {
        const QJsonObject stored = photos.at(0).toObject();
        QCOMPARE(photos.size(), 1);
        QCOMPARE(reply.json().object().value("id").toString(), stored.value("id").toString());
        QCOMPARE(stored.value("message").toString().toUtf8(), message);
        QCOMPARE(stored.value("size").toInt(), bytes.size());
        QCOMPARE(stored.value("album_id").toString().toUtf8() == albumId, album != "me");
        const auto file = m_sandbox->get("/photos/" + stored.value("id").toString().toUtf8());
        QCOMPARE(file.body, bytes);
    }
    // Whatever the client called the file, only our own names are on disk.
    for (const QString &file : storedFiles()) {
        QVERIFY2(file.startsWith("sandbox.db") || QRegularExpression("^photos/[0-9]+-[0-9]+\\.(png|jpg|gif)$").match(file).hasMatch(),
                 qPrintable(file));
    }
}

// Whatever a request carries shows as text, and only web addresses become
// links or pictures: in the feed dialog and in the gallery.
void tst_Sandbox::hostileValuesAreInert_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("script-caption") << QByteArray("caption") << QByteArray("<script>alert(1)</script>");
    QTest::newRow("quote-breaking-name") << QByteArray("name") << QByteArray("\"><img src=x onerror=alert(1)>");
    QTest::newRow("javascript-link") << QByteArray("link") << QByteArray("javascript:alert(1)");
    QTest::newRow("javascript-picture") << QByteArray("picture") << QByteArray("JavaScript:alert(1)");
    QTest::newRow("data-link") << QByteArray("link") << QByteArray("data:text/html,<script>alert(1)</script>");
    QTest::newRow("tag-in-description") << QByteArray("description") << QByteArray("<iframe src=//evil>");
}

void tst_Sandbox::hostileValuesAreInert()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, value);
    QVERIFY(m_sandbox->post("/login", "login=alex&password=sandbox&next=/").status == 303);
    const QByteArray params = "app_id=" + appId + "&redirect_uri="
        + QUrl::toPercentEncoding(m_sandbox->origin() + "/connect/login_success.html") + "&" + field + "="
        + QUrl::toPercentEncoding(value);
    const QByteArray dialog = m_sandbox->get("/dialog/feed?" + params).body;
    QVERIFY(m_sandbox->post("/dialog/feed", params + "&action=share").status == 302);
    QVERIFY(upload("/me/photos", m_sandbox->token(), value, pngBytes, value).status == 200);
    const QByteArray gallery = m_sandbox->get("/").body;
    for (const QByteArray &page : { dialog, gallery }) {
        if (value.contains('<') || value.contains('"'))
            QVERIFY(!page.contains(value)); // escaped wherever it shows
        const QByteArray lower = page.toLower();
        QVERIFY(!lower.contains("<script") && !lower.contains("<iframe") && !lower.contains("<img src=x"));
        QVERIFY(!lower.contains("href=\"javascript") && !lower.contains("src=\"javascript"));
        QVERIFY(!lower.contains("href=\"data:"));
    }
}

// A page of another site may reach the sandbox on loopback; it gets nothing.
void tst_Sandbox::otherSitesAreRefused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray control = "X-Sandbox-Control: 1\r\n";
    QTest::newRow("rebound-name") << QByteArray("GET /me HTTP/1.1\r\nHost: evil.example:PORT\r\n\r\n") << 421;
    QTest::newRow("other-port") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n") << 421;
    QTest::newRow("own-name") << QByteArray("GET / HTTP/1.1\r\nHost: localhost:PORT\r\n\r\n") << 200;
    QTest::newRow("control-without-header")
        << QByteArray("POST /__sandbox/reset HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nContent-Length: 0\r\n\r\n") << 403;
    QTest::newRow("control-with-header") << "POST /__sandbox/reset HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + control
            + "Content-Length: 0\r\n\r\n" << 200;
    QTest::newRow("big-form") << QByteArray("POST /login HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n"
                                            "Content-Length: 2000000\r\n\r\n") << 413;
    QTest::newRow("chunked-form") << QByteArray("POST /login HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n"
                                                "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << 411;
    const QByteArray script = R"({"path":"/me","replies":[{"status":500,"times":100000}]})";
    QTest::newRow("script-times-unbounded") << "POST /__sandbox/script HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + control
            + "Content-Length: " + QByteArray::number(script.size()) + "\r\n\r\n" + script << 400;
    const QByteArray slow = R"({"path":"/me","replies":[{"delay_ms":3600000}]})";
    QTest::newRow("script-delay-unbounded") << "POST /__sandbox/script HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" + control
            + "Content-Length: " + QByteArray::number(slow.size()) + "\r\n\r\n" + slow << 400;
}

void tst_Sandbox::otherSitesAreRefused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const QUrl origin(QString::fromUtf8(m_sandbox->origin()));
    QTcpSocket socket;
    socket.connectToHost(origin.host(), quint16(origin.port()));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request.replace("PORT", QByteArray::number(origin.port())));
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n\r\n"), 10000);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status)), answer.left(80).constData());
}

ORVELLE_TEST_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
