#include "SandboxProcess.h"
#include "TestMain.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrlQuery>

namespace {

const QByteArray pngBytes("\x89PNG\r\n\x1a\n-pretend-png-body");
const QByteArray appId = "154093124663728";
const QByteArray multipartType = "multipart/form-data; boundary=sbx-form";

// A form ("name=value&...", percent-encoded where it must be) as multipart.
QByteArray multipart(const QByteArray &form)
{
    QByteArray body;
    for (const QByteArray &field : form.split('&')) {
        const int equals = field.indexOf('=');
        body += "--sbx-form\r\nContent-Disposition: form-data; name=\"" + field.left(equals) + "\"\r\n\r\n"
            + QByteArray::fromPercentEncoding(field.mid(equals + 1)) + "\r\n";
    }
    return body + "--sbx-form--\r\n";
}

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
    void createdAlbumIsListed_data();
    void createdAlbumIsListed();
    void photoFields_data();
    void photoFields();

private:
    QJsonArray controlList(const QByteArray &what) { return m_sandbox->get("/__sandbox/" + what).json().array(); }

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

// A new album needs photo_upload, answers its id and is listed as it was made
// (the service's default audience when none is given); a script may answer instead.
void tst_Sandbox::createdAlbumIsListed_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<bool>("asMultipart");
    QTest::addColumn<QString>("privacy");
    QTest::newRow("multipart") << QByteArray(R"(name=%20Ski%202026%20&message=Chamonix&privacy={"value":"SELF"})")
                               << true << "SELF";
    QTest::newRow("urlencoded") << QByteArray("name=Ski%202026&message=Chamonix") << false << "ALL_FRIENDS";
}

void tst_Sandbox::createdAlbumIsListed()
{
    QFETCH(QByteArray, form);
    QFETCH(bool, asMultipart);
    QFETCH(QString, privacy);
    const QByteArray body = asMultipart ? multipart(form) : form, path = "/me/albums?access_token=",
                     type = asMultipart ? multipartType : "application/x-www-form-urlencoded";
    QCOMPARE(m_sandbox->post(path + m_sandbox->token("user_photos"), body, type).json()["error"]["code"].toInt(), 200);
    const QByteArray token = m_sandbox->token();
    QVERIFY(m_sandbox->script(R"({"path":"/me/albums","replies":[{"status":503,"body":"{}"}]})"));
    QCOMPARE(m_sandbox->post(path + token, body, type).status, 503);
    const QString id = m_sandbox->post(path + token, body, type).json()["id"].toString();
    const QJsonArray listed = m_sandbox->get("/me/albums?limit=100&access_token=" + token).json()["data"].toArray();
    QCOMPARE(listed.last().toObject(), (QJsonObject { { "id", id }, { "name", "Ski 2026" }, { "can_upload", true },
                                                      { "count", 0 }, { "description", "Chamonix" },
                                                      { "privacy", privacy } }));
}

// A photo keeps its audience (its album's when it names none), the time it is
// backdated to and where its bytes are. What the service refuses gets code 100
// naming the parameter, and leaves nothing: no album, no photo, no file.
void tst_Sandbox::photoFields_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QString>("outcome"); // the photo's privacy, or the start of the error's message
    const QByteArray album = "/me/albums", me = "/me/photos", alps = "/Weekends in the Alps/photos",
                     lisbon = "/Lisbon, summer 2025/photos"; // seeded albums, by their descriptions
    const QByteArray soon = QByteArray::number(QDateTime::currentSecsSinceEpoch() + 3600);
    QTest::newRow("album-audience") << alps << QByteArray("backdated_time=2025-07-01T10:00:00+02:00") << "SELF";
    QTest::newRow("as-album-within-a-day") << alps << R"(privacy={"value":"SELF"}&backdated_time=)" + soon << "SELF";
    QTest::newRow("narrower") << lisbon << QByteArray(R"(privacy={"value":"ALL_FRIENDS"})") << "ALL_FRIENDS";
    QTest::newRow("local-time") << lisbon << QByteArray("backdated_time=2025-07-01T10:00:00") << "EVERYONE";
    QTest::newRow("application-album-any")
        << me << QByteArray(R"(privacy={"value":"EVERYONE"}&backdated_time=2025-07-01T10:00:00Z)") << "EVERYONE";
    QTest::newRow("wider-than-album") << alps << QByteArray(R"(privacy={"value":"EVERYONE"})")
        << "(#100) The photo's privacy (EVERYONE) cannot be wider than its album's (SELF)";
    QTest::newRow("album-without-name") << album << QByteArray("message=x") << "(#100) The parameter name is required";
    QTest::newRow("album-blank-name") << album << QByteArray("name=%20%09") << "(#100) The parameter name is required";
    QTest::newRow("album-long-name") << album << "name=" + QByteArray(101, 'x') << "(#100) Param name";
    QTest::newRow("album-privacy-text") << album << QByteArray("name=a&privacy=SELF") << "(#100) Param privacy";
    for (const char *privacy : { "SELF", R"({"a":1})", R"({"value":"x"})", R"(["SELF"])", R"({"value":"self"})" })
        QTest::newRow(privacy) << me << "privacy=" + QByteArray(privacy) << "(#100) Param privacy";
    for (const char *time : { "yesterday", "2025-02-30T10:00:00", "2025-07-01T10:00:00+2:00", "2025-07-01 10:00:00",
                              "2025-07-01T10:00:00+15:00", "2025-07-01T10:00:00Zjunk" })
        QTest::newRow(time) << me << "backdated_time=" + QByteArray(time) << "(#100) Param backdated_time must be";
    const QByteArray later = QByteArray::number(QDateTime::currentSecsSinceEpoch() + 2 * 86400);
    QTest::newRow("in-two-days") << me << "backdated_time=" + later << "(#100) Param backdated_time cannot";
}

void tst_Sandbox::photoFields()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, form);
    QFETCH(QString, outcome);
    const QJsonArray albums = controlList("albums");
    for (const QJsonValue &album : albums) // the rows name seeded albums by their descriptions
        target.replace('/' + album["description"].toString().toUtf8() + '/', '/' + album["id"].toString().toUtf8() + '/');
    if (target.endsWith("/photos"))
        form.prepend("source=" + pngBytes + "&");
    const auto answer = m_sandbox->post(target + "?access_token=" + m_sandbox->token(), multipart(form), multipartType);
    if (outcome.startsWith("(#100)")) {
        QCOMPARE(answer.status, 400);
        QCOMPARE(answer.json()["error"]["code"].toInt(), 100);
        QVERIFY2(answer.json()["error"]["message"].toString().startsWith(outcome), answer.body.constData());
        QCOMPARE(controlList("albums"), albums);
        QVERIFY(controlList("photos").isEmpty() && QDir(m_sandbox->dataDir() + "/photos").isEmpty());
        return;
    }
    QVERIFY2(answer.status == 200, answer.body.constData());
    const QJsonObject photo = controlList("photos").first().toObject();
    const QString backdated = QUrlQuery(QString(form)).queryItemValue("backdated_time");
    QCOMPARE(photo["privacy"].toString(), outcome);
    QCOMPARE(photo["backdated_time"], backdated.isEmpty() ? QJsonValue() : QJsonValue(backdated));
    QFile file(photo["stored_file"].toString());
    QVERIFY(file.fileName().startsWith(m_sandbox->dataDir() + "/") && file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), pngBytes);
    QVERIFY(m_sandbox->get("/").body.contains((backdated.isEmpty() ? " UTC" : backdated).toUtf8() + " · "));
}

ORVELLE_TEST_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
