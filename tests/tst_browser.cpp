#include "FacebookPlugin.h"
#include "PreferencesFile.h"
#include "SandboxProcess.h"
#include "TestMain.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "webview/BrowserWindow.h"
#include "webview/VlWebView.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <QUrlQuery>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWindow>

namespace {

BrowserWindow *visibleWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// Runs JavaScript in the visible window's page, as a user's hand would act;
// the result, or invalid.
QVariant evaluate(const QString &script)
{
    BrowserWindow *window = visibleWindow();
    if (!window)
        return {};
    QVariant result;
    bool done = false;
    window->view()->page()->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    return QTest::qWaitFor([&done] { return done; }, 10000) ? result : QVariant();
}

bool pageHas(const char *id)
{
    return evaluate(QStringLiteral("!!document.getElementById('%1')").arg(QLatin1String(id))).toBool();
}

// The "state" item of the address the visible window shows (a login dialog).
QString loginState()
{
    BrowserWindow *window = visibleWindow();
    return window ? QUrlQuery(window->view()->url()).queryItemValue(QStringLiteral("state")) : QString();
}

QString storedToken()
{
    QSettings settings(Settings::filepath(), Settings::format());
    return settings.value(PreferencesFile::tokenKey()).toString();
}

// Counts close events on the view; may swallow them.
struct CloseWatcher : QObject
{
    const bool swallow;
    int closes = 0;
    explicit CloseWatcher(bool swallow) : swallow(swallow) { }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close)
            return false;
        ++closes;
        event->setAccepted(!swallow);
        return swallow;
    }
};

BrowserWindow *onlyWindow()
{
    BrowserWindow *found = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget)) {
            if (window->isVisible() || !found)
                found = window;
        }
    }
    return found;
}

} // namespace

// A receiver for the plug-in's authFinished(char): every code, in order.
class LoginCodes : public QObject
{
    Q_OBJECT
public:
    QByteArray codes;
public slots:
    void onAuthFinished(char code) { codes += code; }
};

// The browser window with the real web engine, offscreen, on the sandbox's
// pages; then the login and feed dialogs end to end through the plug-in,
// driven the way a person would.
class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void showsWhereItIs();
    void closeProtocol_data();
    void closeProtocol();
    void redirectAddress_data();
    void redirectAddress();
    void loginThroughPages();
    void feedDialog_data();
    void feedDialog();
    void feedCaptionArrivesIntact();
    void unloadDuringLogin();

private:
    void logIn();

    SandboxProcess m_sandbox;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<QWidget> m_hostWindow;
    std::unique_ptr<FacebookPlugin> m_plugin;
};

void tst_Browser::initTestCase()
{
    QVERIFY(m_sandbox.start());
}

void tst_Browser::init()
{
    QCOMPARE(m_sandbox.post("/__sandbox/reset").status, 200); // also forgets browser logins
    QVERIFY(m_sandbox.setSwitch("auto_approve=0"));
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

void tst_Browser::cleanup()
{
    m_plugin.reset();
    // Windows are torn down from the event loop.
    QTRY_VERIFY(!onlyWindow());
    m_hostWindow.reset();
    m_manager.reset();
}

// A page loads hidden, with its signals; shown, the title names the site
// and says the connection is not secure (the sandbox speaks http); a page
// cannot take the window off the web.
void tst_Browser::showsWhereItIs()
{
    QPointer<VlWebView> view = new VlWebView;
    const auto closeView = qScopeGuard([&view] {
        if (view)
            view->close();
    });
    QSignalSpy urls(view.data(), &VlWebView::urlHasChanged);
    QSignalSpy finished(view.data(), &VlWebView::loadHasFinished);
    const QUrl page(QString::fromUtf8(m_sandbox.origin() + "/connect/login_success.html"));
    view->load(page);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toBool(), true);
    QVERIFY(urls.contains(QVariantList { page }));
    QCOMPARE(view->url(), page);
    QVERIFY(view->isHidden()); // loading does not show it
    view->show();
    QCOMPARE(onlyWindow()->windowTitle(), page.authority() + QStringLiteral(" — not secure"));
    urls.clear();
    const QUrl data("data:text/html,<form>password</form>");
    finished.clear();
    view->load(data);
    QVERIFY(finished.wait(20000)); // every load ends, a refused one too
    QVERIFY(!urls.contains(QVariantList { data }));
    QCOMPARE(view->url(), page);
}

void tst_Browser::closeProtocol_data()
{
    QTest::addColumn<bool>("byWindow"); // the title bar instead of close()
    QTest::addColumn<bool>("swallow");
    QTest::newRow("close") << false << false;
    QTest::newRow("title-bar-swallowed") << true << true;
}

void tst_Browser::closeProtocol()
{
    QFETCH(bool, byWindow);
    QFETCH(bool, swallow);
    QPointer<VlWebView> view = new VlWebView;
    CloseWatcher watcher(swallow);
    view->installEventFilter(&watcher);
    view->load(QUrl(QString::fromUtf8(m_sandbox.origin() + "/connect/login_success.html")));
    view->show();
    BrowserWindow *window = onlyWindow();
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->size(), QSize(800, 600));
    if (byWindow)
        window->windowHandle()->close();
    else
        view->close();
    QVERIFY(view.isNull()); // gone before close returned
    QCOMPARE(watcher.closes, 1);
    QVERIFY(!window->isVisible());
}

// Rows end the login that the window shows; "STATE" stands for its state.
void tst_Browser::redirectAddress_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<QString>("token");
    const QString r = QString::fromUtf8(m_sandbox.origin()) + "/connect/login_success.html";
    QTest::newRow("token") << r + "#access_token=T1&expires_in=5&state=STATE" << QByteArray("y") << "T1";
    QTest::newRow("trailing-slash") << r + "/#access_token=T2&state=STATE" << QByteArray("y") << "T2";
    QTest::newRow("query-before-fragment") << r + "?code=1#access_token=T3&expires_in=5&state=STATE"
                                           << QByteArray("y") << "T3";
    QTest::newRow("no-fragment") << r + "?error=access_denied" << QByteArray("n") << "";
    QTest::newRow("fragment-without-token") << r + "#_=_" << QByteArray("n") << "";
    // A page in the window sending it to the redirect with a token of its own.
    QTest::newRow("forged-without-state") << r + "#access_token=T4" << QByteArray("n") << "";
    QTest::newRow("forged-other-state") << r + "#access_token=T5&state=0123456789abcdef" << QByteArray("n") << "";
    // The user closed the window; the login's state ended with it.
    QTest::newRow("after-window-closed") << "CLOSED " + r + "#access_token=T6&state=STATE" << QByteArray("c") << "";
    QTest::newRow("other-path") << QString::fromUtf8(m_sandbox.origin()) + "/connect/login_success.htm#access_token=X"
                                << QByteArray() << "";
    QTest::newRow("other-case") << QString::fromUtf8(m_sandbox.origin()) + "/Connect/login_success.html#access_token=X"
                                << QByteArray() << "";
}

void tst_Browser::redirectAddress()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, codes);
    QFETCH(QString, token);
    LoginCodes receiver;
    m_plugin->authWithPermissions(QString(), &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(!loginState().isEmpty(), 20000);
    const QString state = loginState();
    QVERIFY(state.size() >= 32); // 128 bits
    static QStringList earlierStates; // one per row: never the same twice
    QVERIFY(!earlierStates.contains(state));
    earlierStates << state;
    url.replace("STATE", state);
    if (url.startsWith("CLOSED ")) {
        url.remove(0, 7);
        visibleWindow()->close();
        QCOMPARE(receiver.codes, QByteArray("c"));
    }
    if (url.contains("#_=_"))
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Auth ui error: \"" + url + '"'));
    if (QByteArray(QTest::currentDataTag()).startsWith("forged"))
        QTest::ignoreMessage(QtWarningMsg, "Auth ui error: the login state does not match");
    QVERIFY(QMetaObject::invokeMethod(m_plugin.get(), "shouldFinishAuth", Q_ARG(QUrl, QUrl(url))));
    QCOMPARE(receiver.codes, codes);
    QCOMPARE(storedToken(), token);
}

void tst_Browser::logIn()
{
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("login"), 20000);
    evaluate("document.getElementById('login-name').value = 'irina';"
             "document.getElementById('password').value = 'sandbox';"
             "document.getElementById('login-button').click();");
}

void tst_Browser::loginThroughPages()
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
    QCOMPARE(m_sandbox.get("/me/albums?access_token=" + token).status, 200);
    QTRY_VERIFY(!visibleWindow());
    QTRY_COMPARE(QApplication::activeWindow(), m_hostWindow.get());

    // The browser remembers the login: the next scope needs only consent.
    m_plugin->authWithPermissions("photo_upload", &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("consent"), 20000);
    evaluate("document.getElementById('allow').click()");
    QTRY_COMPARE_WITH_TIMEOUT(receiver.codes, QByteArray("yy"), 20000);
}

void tst_Browser::feedDialog_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("callbacks");
    QTest::addColumn<int>("posts");
    QTest::newRow("share") << "share" << 1 << 1;
    QTest::newRow("cancel") << "cancel" << 0 << 0;
}

void tst_Browser::feedDialog()
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
    evaluate("document.getElementById('" + button + "').click()");
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow(), 20000);
    QTRY_COMPARE(QApplication::activeWindow(), m_hostWindow.get());
    QCOMPARE(called, callbacks);
    QCOMPARE(m_sandbox.get("/__sandbox/posts").json().array().size(), posts);
    QVERIFY(QFile::exists(Network::CookieJar::filePath()));
}

void tst_Browser::feedCaptionArrivesIntact()
{
    QVERIFY(m_sandbox.setSwitch("auto_approve=1"));
    int called = 0;
    const QMap<QString, QString> texts { { "name", QString::fromUtf8("Ирина's photo") },
                                         { "caption", "a & b #1 +50% = c" },
                                         { "description", "line?x=1&y=2" },
                                         { "picture", "http://127.0.0.1/p.png?a=1&b=2" } };
    m_plugin->tellFriends(texts, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 20000);
    const QJsonObject post = m_sandbox.get("/__sandbox/posts").json().array().first().toObject();
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        QCOMPARE(post.value(it.key()).toString(), it.value());
    QVERIFY(post.value("link").toString().endsWith("/orvelle.app"));
    QVERIFY(post.value("properties").toString().startsWith("{\"More\":{text:\""));
}

void tst_Browser::unloadDuringLogin()
{
    LoginCodes receiver;
    m_plugin->authWithPermissions("user_photos", &receiver, SLOT(onAuthFinished(char)));
    QTRY_VERIFY_WITH_TIMEOUT(pageHas("login"), 20000);
    m_plugin.reset(); // the host quits mid-login
    QCOMPARE(receiver.codes, QByteArray());
    QTRY_VERIFY(!visibleWindow());
}

ORVELLE_TEST_MAIN(tst_Browser)
#include "tst_browser.moc"
