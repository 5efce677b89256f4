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

    void graphReplies();
    void tokenErrors_data();
    void tokenErrors();
    void uploads_data();
    void uploads();
    void brokenUploadLeavesNothing();
    void oauthDialog_data();
    void oauthDialog();
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

void tst_Sandbox::graphReplies()
{
    const QByteArray token = m_sandbox->token();
    const QJsonObject me = m_sandbox->get("/me?access_token=" + token).json().object();
    QCOMPARE(me.value("name").toString(), QString::fromUtf8("Ирина Соколова"));
    QCOMPARE(me.value("id").toString(), QStringLiteral("100001234567890"));

    const auto picture = m_sandbox->get("/me/picture?redirect=false&width=64&height=48&access_token=" + token);
    const QJsonObject data = picture.json().object().value("data").toObject();
    QCOMPARE(data.value("width").toInt(), 64);
    QCOMPARE(data.value("height").toInt(), 48);
    QCOMPARE(data.value("is_silhouette").toBool(true), false);
    const QUrl url(data.value("url").toString());
    QVERIFY(url.toString().startsWith(m_sandbox->origin()));
    const auto image = m_sandbox->get(url.toEncoded().mid(m_sandbox->origin().size()));
    QCOMPARE(QImage::fromData(image.body, "PNG").size(), QSize(64, 48));

    const auto redirect = m_sandbox->get("/me/picture?width=10&height=10&access_token=" + token);
    QCOMPARE(redirect.status, 302);
    QVERIFY(redirect.location.contains("/pictures/"));

    const auto unknown = m_sandbox->get("/../../etc/passwd");
    QCOMPARE(unknown.status, 404);
    QVERIFY(unknown.json().object().contains("error"));
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
    QTest::newRow("gif") << QByteArray("me") << QByteArray("GIF89a-body") << QByteArray("a.gif") << 200 << 0;
    QTest::newRow("album-refuses") << QByteArray("Profile Pictures") << pngBytes << QByteArray("a.png") << 400 << 120;
    QTest::newRow("unknown-album") << QByteArray("123") << pngBytes << QByteArray("a.png") << 400 << 100;
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
        QVERIFY(reply.json().object().value("post_id").toString().endsWith("_" + stored.value("id").toString()));
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

void tst_Sandbox::brokenUploadLeavesNothing()
{
    const QByteArray token = m_sandbox->token();
    const QUrl origin(QString::fromUtf8(m_sandbox->origin()));
    const QByteArray boundary = "b0undary";
    const QByteArray head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"source\"; filename=\"x.png\"\r\n\r\n"
        + pngBytes + QByteArray(50000, 'p');

    // Cut off halfway, and not multipart at all where it claims to be.
    const QList<QByteArray> bodies = { head, "garbage without any boundary" };
    for (int i = 0; i < bodies.size(); ++i) {
        QTcpSocket socket;
        socket.connectToHost(origin.host(), quint16(origin.port()));
        QVERIFY(socket.waitForConnected(5000));
        const int declared = i == 0 ? 200000 : bodies[i].size();
        socket.write("POST /me/photos?access_token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:"
                     + QByteArray::number(origin.port()) + "\r\n"
                     "Content-Type: multipart/form-data; boundary=" + boundary + "\r\nContent-Length: "
                     + QByteArray::number(declared) + "\r\n\r\n" + bodies[i]);
        QVERIFY(socket.waitForBytesWritten(5000));
        if (i == 0)
            socket.disconnectFromHost();
        else
            QVERIFY(socket.waitForReadyRead(5000) && socket.readAll().startsWith("HTTP/1.1 400"));
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox->counters().value("broken_uploads").toInt(), i + 1, 15000);
    }
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 0);
    QCOMPARE(storedFiles().filter("photos/").size(), 0);

    // Well-formed requests that are still no upload.
    const auto notMultipart = m_sandbox->post("/me/photos?access_token=" + token, "source=x");
    QCOMPARE(notMultipart.status, 400);
    QCOMPARE(errorCode(notMultipart), 100);
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart message;
    message.setHeader(QNetworkRequest::ContentDispositionHeader, "form-data; name=\"message\"");
    message.setBody("no photo");
    body->append(message);
    QNetworkReply *reply = m_sandbox->manager().post(
        QNetworkRequest(QUrl::fromEncoded(m_sandbox->origin() + "/me/photos?access_token=" + token)), body);
    body->setParent(reply);
    const auto noSource = m_sandbox->send(reply);
    QCOMPARE(noSource.status, 400);
    QCOMPARE(errorCode(noSource), 324);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 0);
}

void tst_Sandbox::oauthDialog_data()
{
    QTest::addColumn<QByteArray>("clientId");
    QTest::addColumn<QByteArray>("redirect"); // appended to the origin
    QTest::addColumn<bool>("token");
    QTest::newRow("approved") << appId << QByteArray("/connect/login_success.html") << true;
    QTest::newRow("wrong-client") << QByteArray("999999999999999") << QByteArray("/connect/login_success.html") << false;
    QTest::newRow("wrong-redirect") << appId << QByteArray("/connect/elsewhere.html") << false;
}

void tst_Sandbox::oauthDialog()
{
    QFETCH(QByteArray, clientId);
    QFETCH(QByteArray, redirect);
    QFETCH(bool, token);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
    const auto reply = m_sandbox->get("/dialog/oauth?client_id=" + clientId + "&redirect_uri=" + m_sandbox->origin()
                                      + redirect + "&scope=user_photos&response_type=token");
    if (!token) {
        QCOMPARE(reply.status, 400);
        QVERIFY(reply.location.isEmpty());
        QVERIFY(!reply.body.contains("access_token"));
        return;
    }
    QCOMPARE(reply.status, 302);
    const QUrl location(QString::fromUtf8(reply.location));
    QCOMPARE(location.toString(QUrl::RemoveFragment), QString::fromUtf8(m_sandbox->origin() + redirect));
    const QUrlQuery fragment(location.fragment());
    const QByteArray accessToken = fragment.queryItemValue("access_token").toUtf8();
    QVERIFY(accessToken.startsWith("EAAS"));
    QVERIFY(fragment.hasQueryItem("expires_in"));
    // The token works and carries the scope.
    QCOMPARE(m_sandbox->get("/me/albums?access_token=" + accessToken).status, 200);
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
