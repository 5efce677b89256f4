#include "TestPreferences.h"
#include "BrowserPage.h"
#include "FacebookPlugin.h"
#include "LoginCodes.h"
#include "SandboxProcess.h"
#include "TestMain.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "webview/BrowserWindow.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWindow>

namespace {

using BrowserPage::evaluate;
using BrowserPage::visibleWindow;
bool pageHas(const char *id) { return BrowserPage::has(id); }

QString storedToken()
{
    QSettings settings(Settings::filepath(), Settings::format());
    return settings.value(TestPreferences::tokenKey()).toString();
}

} // namespace

// The login and feed dialogs end to end: the plug-in, the real browser
// window and the sandbox's pages, driven the way a person would.
class tst_Dialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void redirectAddress_data();
    void redirectAddress();
    void freshStatePerLogin();
    void loginThroughPages();
    void sharedLoginAndOtherScope();
    void feedDialog_data();
    void feedDialog();
    void feedCaptionArrivesIntact();
    void unloadDuringLogin();

private:
    void logIn();

    std::unique_ptr<SandboxProcess> m_sandbox;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<QWidget> m_hostWindow;
    std::unique_ptr<FacebookPlugin> m_plugin;
};

void tst_Dialogs::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>();
    QVERIFY(m_sandbox->start());
}

void tst_Dialogs::init()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200); // also forgets browser logins
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    QFile::remove(Settings::filepath());
    QFile::remove(Network::CookieJar::filePath());
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_manager->setCookieJar(new Network::CookieJar);
    m_hostWindow = std::make_unique<QWidget>();
    m_hostWindow->show();
    m_plugin = std::make_unique<FacebookPlugin>();
    m_plugin->setManager(m_manager.get());
    m_plugin->setParentWidget(m_hostWindow.get());
}

void tst_Dialogs::cleanup()
{
    m_plugin.reset();
    QTRY_VERIFY(!visibleWindow());
    m_hostWindow.reset();
    m_manager.reset();
}

// Rows end the login that the window shows; "STATE" stands for its state.
void tst_Dialogs::redirectAddress_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<QString>("token");
    const QString r = QString::fromUtf8(m_sandbox->origin()) + "/connect/login_success.html";
    QTest::newRow("token") << r + "#access_token=T1&expires_in=5&state=STATE" << QByteArray("y") << "T1";
    QTest::newRow("trailing-slash") << r + "/#access_token=T2&state=STATE" << QByteArray("y") << "T2";
    QTest::newRow("query-before-fragment") << r + "?code=1#access_token=T3&expires_in=5&state=STATE"
                                           << QByteArray("y") << "T3";
    QTest::newRow("no-fragment") << r + "?error=access_denied" << QByteArray("n") << "";
    QTest::newRow("fragment-without-token") << r + "#_=_" << QByteArray("n") << "";
    // A page in the window sending it to the redirect with a token of its own.
    QTest::newRow("forged-without-state") << r + "#access_token=T4" << QByteArray("n") << "";
    QTest::newRow("forged-other-state") << r + "#access_token=T5&state=0123456789abcdef" << QByteArray("n") << "";
    QTest::newRow("other-path") << QString::fromUtf8(m_sandbox->origin()) + "/connect/login_success.htm#access_token=X"
                                << QByteArray() << "";
    QTest::newRow("other-case") << QString::fromUtf8(m_sandbox->origin()) + "/Connect/login_success.html#access_token=X"
                                << QByteArray() << "";
}

void tst_Dialogs::redirectAddress()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, codes);
    QFETCH(QString, token);
    LoginCodes receiver;
    m_plugin->authWithPermissions(QString(), &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(!BrowserPage::loginState().isEmpty(), 20000);
    const QString state = BrowserPage::loginState();
    QVERIFY(state.size() >= 32); // 128 bits
    url.replace("STATE", state);
    if (url.contains("#_=_"))
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Auth ui error: \"" + url + '"'));
    if (QByteArray(QTest::currentDataTag()).startsWith("forged"))
        QTest::ignoreMessage(QtDebugMsg, "Auth ui error: the login state does not match");
    QVERIFY(QMetaObject::invokeMethod(m_plugin.get(), "shouldFinishAuth", Q_ARG(QUrl, QUrl(url))));
    QCOMPARE(receiver.codes, codes);
    QCOMPARE(storedToken(), token);
}

// Every login asks with a state of its own.
void tst_Dialogs::freshStatePerLogin()
{
    QSet<QString> states;
    for (int i = 0; i < 3; ++i) {
        LoginCodes receiver;
        m_plugin->authWithPermissions("user_photos", &receiver, SLOT(onAuthFinished(char)));
        QTRY_VERIFY_WITH_TIMEOUT(!BrowserPage::loginState().isEmpty(), 20000);
        const QUrl shown = BrowserPage::visibleWindow()->view()->url();
        QVERIFY2(shown.query().endsWith("&state=" + BrowserPage::loginState()), qPrintable(shown.toString()));
        states.insert(BrowserPage::loginState());
        BrowserPage::visibleWindow()->close();
        QTRY_COMPARE(receiver.codes, QByteArray("c"));
        QTRY_VERIFY(!BrowserPage::visibleWindow());
    }
    QCOMPARE(states.size(), 3);
}

void tst_Dialogs::logIn()
{
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("login"), 20000);
    evaluate("document.getElementById('login-name').value = 'irina';"
             "document.getElementById('password').value = 'sandbox';"
             "document.getElementById('login-button').click();");
}

void tst_Dialogs::loginThroughPages()
{
    LoginCodes receiver;
    m_plugin->authWithPermissions("user_photos", &receiver, SLOT(onAuthFinished(char)));
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("consent"), 20000);
    QCOMPARE(evaluate("document.getElementById('scope').textContent").toString(), QStringLiteral("user_photos"));
    evaluate("document.getElementById('allow').click()");
    QTRY_COMPARE_WITH_TIMEOUT(receiver.codes, QByteArray("y"), 20000);

    const QByteArray token = storedToken().toUtf8();
    QVERIFY(token.startsWith("EAAS"));
    QCOMPARE(m_sandbox->get("/me/albums?access_token=" + token).status, 200);
    QTRY_VERIFY(!visibleWindow());
    QTRY_COMPARE(QApplication::activeWindow(), m_hostWindow.get());

    // The browser remembers the login: the next scope needs only consent.
    m_plugin->authWithPermissions("photo_upload", &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("consent"), 20000);
    evaluate("document.getElementById('allow').click()");
    QTRY_COMPARE_WITH_TIMEOUT(receiver.codes, QByteArray("yy"), 20000);
}

void tst_Dialogs::sharedLoginAndOtherScope()
{
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    LoginCodes first, second, other;
    m_plugin->authWithPermissions("user_photos", &first, SLOT(onAuthFinished(char)));
    m_plugin->authWithPermissions("user_photos", &first, SLOT(onAuthFinished(char))); // asks twice
    m_plugin->authWithPermissions("user_photos", &second, SLOT(onAuthFinished(char)));
    m_plugin->authWithPermissions("photo_upload", &other, SLOT(onAuthFinished(char)));
    // 'b' at once, to everyone listening; the login goes on.
    QCOMPARE(first.codes, QByteArray("b"));
    QCOMPARE(second.codes, QByteArray("b"));
    QCOMPARE(other.codes, QByteArray("b"));
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("consent"), 20000);
    QCOMPARE(evaluate("document.getElementById('scope').textContent").toString(), QStringLiteral("user_photos"));
    int windows = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        windows += qobject_cast<BrowserWindow *>(widget) && widget->isVisible();
    QCOMPARE(windows, 1);
    evaluate("document.getElementById('allow').click()");
    QTRY_COMPARE_WITH_TIMEOUT(first.codes, QByteArray("by"), 20000);
    QCOMPARE(second.codes, QByteArray("by"));
}

void tst_Dialogs::feedDialog_data()
{
    QTest::addColumn<QString>("button"); // or "close"
    QTest::addColumn<int>("callbacks");
    QTest::addColumn<int>("posts");
    QTest::newRow("share") << "share" << 1 << 1;
    QTest::newRow("cancel") << "cancel" << 0 << 0;
    QTest::newRow("closed") << "close" << 0 << 0;
}

void tst_Dialogs::feedDialog()
{
    QFETCH(QString, button);
    QFETCH(int, callbacks);
    QFETCH(int, posts);
    int called = 0;
    m_plugin->tellFriends({ { "name", "Orvelle" }, { "caption", "Made with Orvelle" }, { "ignored", "x" } },
                          [&called] { ++called; });
    logIn();
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("feed"), 20000);
    QCOMPARE(evaluate("document.getElementById('name').textContent").toString(), QStringLiteral("Orvelle"));
    if (button == "close")
        visibleWindow()->windowHandle()->close();
    else
        evaluate("document.getElementById('" + button + "').click()");
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow(), 20000);
    QTRY_COMPARE(QApplication::activeWindow(), m_hostWindow.get());
    QCOMPARE(called, callbacks);
    QCOMPARE(m_sandbox->get("/__sandbox/posts").json().array().size(), posts);
    QVERIFY(QFile::exists(Network::CookieJar::filePath()));
}

void tst_Dialogs::feedCaptionArrivesIntact()
{
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
    int called = 0;
    const QMap<QString, QString> texts { { "name", QString::fromUtf8("Ирина's photo") },
                                         { "caption", "a & b #1 +50% = c" },
                                         { "description", "line?x=1&y=2" },
                                         { "picture", "http://127.0.0.1/p.png?a=1&b=2" } };
    m_plugin->tellFriends(texts, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 20000);
    const QJsonObject post = m_sandbox->get("/__sandbox/posts").json().array().first().toObject();
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        QCOMPARE(post.value(it.key()).toString(), it.value());
    QVERIFY(post.value("link").toString().endsWith("/orvelle.app"));
    QVERIFY(post.value("properties").toString().startsWith("{\"More\":{text:\""));
}

void tst_Dialogs::unloadDuringLogin()
{
    LoginCodes receiver;
    m_plugin->authWithPermissions("user_photos", &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("login"), 20000);
    m_plugin.reset(); // the host quits mid-login
    QCOMPARE(receiver.codes, QByteArray());
    QTRY_VERIFY(!visibleWindow());
}

ORVELLE_TEST_MAIN(tst_Dialogs)
#include "tst_dialogs.moc"
