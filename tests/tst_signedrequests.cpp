#include "TestPreferences.h"
#include "FacebookPlugin.h"
#include "LoopbackServer.h"
#include "TestMain.h"
#include "settings/Settings.h"

#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// Graph requests as a server on the sandbox origin sees them. The sandbox
// build's origin is fixed, so this suite holds the port's resource lock.
class tst_SignedRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void getRequest_data();
    void getRequest();
    void postRequest_data();
    void postRequest();
    void tokenIsReadForEveryRequest();
    void realServiceTokenStaysApart();

private:
    void storeToken(const QVariant &token);
    LoopbackServer::Request send(const std::function<QNetworkReply *()> &sendRequest);

    std::unique_ptr<LoopbackServer> m_server;
    QNetworkAccessManager m_manager;
    FacebookPlugin m_plugin;
};

void tst_SignedRequests::initTestCase()
{
    m_server = std::make_unique<LoopbackServer>(qEnvironmentVariableIntValue("ORVELLE_SANDBOX_PORT"));
    const auto answer = [](const httplib::Request &, httplib::Response &res) {
        res.set_content("{}", "application/json");
    };
    m_server->http().Get(".*", answer);
    m_server->http().Post(".*", answer);
    QVERIFY2(m_server->start(), "sandbox port is busy");
    m_plugin.setManager(&m_manager);
}

void tst_SignedRequests::cleanupTestCase()
{
    m_server.reset();
}

void tst_SignedRequests::storeToken(const QVariant &token)
{
    QSettings settings(Settings::filepath(), Settings::format());
    if (token.isValid())
        settings.setValue(TestPreferences::tokenKey(), token);
    else
        settings.remove(TestPreferences::tokenKey());
}

// The request that sendRequest made, as the server saw it.
LoopbackServer::Request tst_SignedRequests::send(const std::function<QNetworkReply *()> &sendRequest)
{
    const int before = m_server->requestCount();
    std::unique_ptr<QNetworkReply> reply(sendRequest());
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    if (m_server->requestCount() != before + 1)
        return {};
    return m_server->requests().last();
}

void tst_SignedRequests::getRequest_data()
{
    QTest::addColumn<QVariant>("token");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("no-token") << QVariant() << "/me" << QByteArray("/me?access_token"); // a null token: the item has no "="
    QTest::newRow("token") << QVariant("EAAB123") << "/me/albums" << QByteArray("/me/albums?access_token=EAAB123");
    QTest::newRow("own-query-kept-in-order")
        << QVariant("t") << "/me/picture?redirect=false&width=50&height=-1"
        << QByteArray("/me/picture?redirect=false&width=50&height=-1&access_token=t");
    QTest::newRow("access-token-twice")
        << QVariant("t") << "/me?access_token=old" << QByteArray("/me?access_token=old&access_token=t");
    QTest::newRow("encoded-path-stays-encoded") << QVariant("t") << "/a%20b" << QByteArray("/a%20b?access_token=t");
}

void tst_SignedRequests::getRequest()
{
    QFETCH(QVariant, token);
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    storeToken(token);
    const LoopbackServer::Request request = send([&] { return m_plugin.submitGetRequest(path); });
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, target);
    QVERIFY(!request.headers.count("Content-Type"));
}

void tst_SignedRequests::postRequest_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("album") << "/1234/photos" << QByteArray("/1234/photos?access_token=tok");
    QTest::newRow("question-mark-is-path") << "/a?b/photos" << QByteArray("/a%3Fb/photos?access_token=tok");
    QTest::newRow("percent-is-path") << "/a%41/photos" << QByteArray("/a%2541/photos?access_token=tok");
}

void tst_SignedRequests::postRequest()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    storeToken("tok");
    QHttpMultiPart body(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, "form-data; name=\"message\"");
    part.setBody("hello");
    body.append(part);
    const LoopbackServer::Request request = send([&] { return m_plugin.submitPostRequest(path, &body); });
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, target);
    const auto contentType = request.headers.find("Content-Type");
    QVERIFY(contentType != request.headers.end());
    QCOMPARE(QByteArray::fromStdString(contentType->second),
             "multipart/form-data; boundary=\"" + body.boundary() + "\"");
}

void tst_SignedRequests::tokenIsReadForEveryRequest()
{
    storeToken("first");
    QCOMPARE(send([&] { return m_plugin.submitGetRequest("/me"); }).target, QByteArray("/me?access_token=first"));
    // Another process (the login) rewrites the file between two requests.
    storeToken("second");
    QCOMPARE(send([&] { return m_plugin.submitGetRequest("/me"); }).target, QByteArray("/me?access_token=second"));
}

// The real service's token is never sent to the sandbox's port, which any
// local user could listen on.
void tst_SignedRequests::realServiceTokenStaysApart()
{
    storeToken(QVariant());
    QSettings(Settings::filepath(), Settings::format()).setValue("fbtoken", "real-service-token");
    QCOMPARE(send([&] { return m_plugin.submitGetRequest("/me"); }).target, QByteArray("/me?access_token"));
}

ORVELLE_TEST_MAIN(tst_SignedRequests)
#include "tst_signedrequests.moc"
