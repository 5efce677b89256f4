#include "SandboxProcess.h"
#include "TestMain.h"

#include <QBuffer>
#include <QJsonObject>
#include <QTcpSocket>

namespace {

const QByteArray pngBytes("\x89PNG\r\n\x1a\n-pretend-png-body");
const QByteArray appId = "154093124663728";

} // namespace

// The sandbox seen from outside, through a real HTTP client.
class tst_Sandbox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void hostileValuesAreInert_data();
    void hostileValuesAreInert();
    void otherSitesAreRefused_data();
    void otherSitesAreRefused();
    void oversizedPhotoRefusedForGood();
    void rateLimitAndRename_data();
    void rateLimitAndRename();

private:
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
    QBuffer photo;
    photo.setData(pngBytes);
    photo.open(QIODevice::ReadOnly);
    const auto stored = m_sandbox->send(m_sandbox->postPhoto(m_sandbox->token(), &photo, value, value));
    QVERIFY2(stored.status == 200, stored.body.constData());
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

// A photo over the limit is refused with a reason and a code that no client
// takes as "try again": it is sent once, not once per retry.
void tst_Sandbox::oversizedPhotoRefusedForGood()
{
    QVERIFY(m_sandbox->setSwitch("upload_limit=16"));
    QBuffer photo;
    photo.setData(pngBytes);
    photo.open(QIODevice::ReadOnly);
    const auto refused = m_sandbox->send(m_sandbox->postPhoto(m_sandbox->token(), &photo));
    QCOMPARE(refused.status, 400);
    const QJsonObject error = refused.json().object().value("error").toObject();
    QCOMPARE(error.value("code").toInt(), 100);
    QCOMPARE(error.value("message").toString(), QString("(#100) The photo is larger than the upload limit of 16 bytes"));
    QVERIFY(!error.contains("is_transient"));
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 0);
}

// For its time, a rate limit refuses every upload as the service does and
// stores nothing; then uploads go through again. A renamed user is so named
// by /me.
void tst_Sandbox::rateLimitAndRename_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("4") << QByteArray() << 4 << 403 << "(#4) Application request limit reached";
    QTest::newRow("17") << QByteArray("&code=17") << 17 << 400 << "(#17) User request limit reached";
    QTest::newRow("32") << QByteArray("&code=32") << 32 << 400 << "(#32) Page request limit reached";
    QTest::newRow("613") << QByteArray("&code=613") << 613 << 400
                         << "(#613) Calls to this api have exceeded the rate limit.";
}

void tst_Sandbox::rateLimitAndRename()
{
    QFETCH(QByteArray, query);
    QFETCH(int, code);
    QFETCH(int, status);
    QFETCH(QString, message);
    const QByteArray token = m_sandbox->token();
    const QString name = QString("Ирина & ") + QTest::currentDataTag();
    const QByteArray rename = "/__sandbox/rename-user?user=100001234567890&name=" + QUrl::toPercentEncoding(name);
    QCOMPARE(m_sandbox->post(rename).status, 200);
    QCOMPARE(m_sandbox->get("/me?access_token=" + token).json()["name"].toString(), name);
    QCOMPARE(m_sandbox->post("/__sandbox/rename-user?user=1&name=x").status, 404);
    QCOMPARE(m_sandbox->post("/__sandbox/rename-user?user=alex&name=").status, 400);
    const auto upload = [&] {
        QBuffer photo;
        photo.setData(pngBytes);
        photo.open(QIODevice::ReadOnly);
        return m_sandbox->send(m_sandbox->postPhoto(token, &photo));
    };
    QCOMPARE(m_sandbox->post("/__sandbox/rate-limit?ms=600000" + query).status, 200);
    const auto refused = upload();
    QCOMPARE(refused.status, status);
    const QJsonObject error = refused.json()["error"].toObject();
    QCOMPARE(error["code"].toInt(), code);
    QCOMPARE(error["message"].toString(), message);
    QCOMPARE(error["type"].toString(), QString("OAuthException"));
    QVERIFY(error.contains("fbtrace_id"));
    QCOMPARE(m_sandbox->counters()["photos"].toInt(), 0);
    // A short limit in its place ends by itself.
    QCOMPARE(m_sandbox->post("/__sandbox/rate-limit?ms=50" + query).status, 200);
    bool stored = false;
    QTRY_VERIFY_WITH_TIMEOUT(stored || (stored = upload().status == 200), 10000);
    QCOMPARE(m_sandbox->counters()["photos"].toInt(), 1);
}

ORVELLE_TEST_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
