#include "TestPreferences.h"
#include "BrowserPage.h"
#include "FacebookPlugin.h"
#include "SandboxProcess.h"
#include "TaskProbe.h"
#include "TestMain.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "webview/BrowserWindow.h"

#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using Albums = IPhotoUpload::Albums;
Q_DECLARE_METATYPE(Albums)

namespace {

// The plug-in as a host loads it, but its tasks retry every 40 ms.
class FastPlugin : public FacebookPlugin
{
public:
    FastPlugin()
        : FacebookPlugin(Network::ReplyTask::RetryPolicy { 40, 10 })
    {
    }
};

enum class Kind { Albums, Name, Picture, Upload };

// Makes a file or folder unwritable, even for root (the immutable flag);
// false where the file system or the user's rights do not allow it.
bool setImmutable(const QString &path, bool on)
{
    QFile::setPermissions(path, on ? QFile::ReadOwner | QFile::ExeOwner
                                   : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// From the file itself: QSettings objects of one process share a cache.
QString storedToken()
{
    return TestPreferences::tokenOnDisk();
}

} // namespace

// Every task kind under every fault the network, the service and the user can
// bring. Each ends in exactly one callback with the right text, then silence;
// no photo is stored twice or reported stored when it is not, and the
// preferences file keeps the last good token.
class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void albums_data() { addRows(Kind::Albums); }
    void albums() { run(Kind::Albums); }
    void name_data() { addRows(Kind::Name); }
    void name() { run(Kind::Name); }
    void picture_data() { addRows(Kind::Picture); }
    void picture() { run(Kind::Picture); }
    void upload_data() { addRows(Kind::Upload); }
    void upload() { run(Kind::Upload); }

private:
    void addRows(Kind kind);
    void run(Kind kind);
    ITask *newTask(Kind kind, TaskProbe &probe);
    void cancelOnConsentPage();

    std::unique_ptr<SandboxProcess> m_sandbox;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<FastPlugin> m_plugin;
    QTemporaryDir m_files;
    QString m_goodToken;
};

void tst_FaultMatrix::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>(QStringList(), qEnvironmentVariableIntValue("ORVELLE_SANDBOX_PORT"));
    QVERIFY(m_sandbox->start());
    QFile photo(m_files.filePath("photo.png"));
    QVERIFY(photo.open(QIODevice::WriteOnly));
    photo.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(1000, 'p'));
    photo.close();
    // Big enough to be still on its way when the sandbox drops the connection.
    QFile big(m_files.filePath("big.png"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(16 << 20, 'p'));
}

void tst_FaultMatrix::init()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1&new_permissions=0"));
    m_goodToken = QString::fromUtf8(m_sandbox->token("user_photos,photo_upload"));
    QSettings settings(Settings::filepath(), Settings::format());
    settings.setValue(TestPreferences::tokenKey(), m_goodToken);
    settings.sync();
    QFile::remove(Network::CookieJar::filePath());
}

void tst_FaultMatrix::cleanup()
{
    setImmutable(Settings::filepath(), false);
    setImmutable(Settings::directory(), false);
    m_plugin.reset();
    m_manager.reset();
    if (m_sandbox->origin().isEmpty() || m_sandbox->get("/__sandbox/counters").status != 200)
        QVERIFY(m_sandbox->start(m_sandbox->dataDir()));
    QTRY_VERIFY(!BrowserPage::visibleWindow());
}

void tst_FaultMatrix::addRows(Kind kind)
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("script"); // replies for the task's own request
    QTest::addColumn<QString>("error");     // expected text, up to "*"; empty for success
    const auto row = [](const char *name, const QByteArray &script, const QString &error) {
        QTest::newRow(name) << QString::fromLatin1(name) << script << error;
    };
    row("connection-refused", "", "Http #0<br>Error: Connection refused*");
    row("reply-cut-off", R"({"cut":true,"body":"{\"data\":[], \"id\":\"0123456789\"}"})",
        "Http #200(OK)<br>Error: *");
    if (kind == Kind::Upload)
        row("dropped-during-body", R"({"drop":true,"early":true,"times":2})", "Http #0<br>Error: *");
    else
        row("dropped-before-reply", R"({"drop":true,"times":2})", "Http #0<br>Error: *");
    row("302", R"({"status":302,"location":"http://127.0.0.1:1/x"})", "Http #302(Found)*");
    row("399", R"({"status":399,"body":"{}"})", "Http #399*");
    row("400-without-error", R"({"status":400,"body":"{}"})", "Http #400(Bad Request)<br>Error: *");
    row("500", R"({"status":500,"body":"oops","content_type":"text/plain"})", "Http #500(Internal Server Error)<br>Error: *");
    row("503-html", R"({"status":503,"html":true})", "Http #503(Service Unavailable)<br>Error: *");
    for (const char *code : { "1", "2", "4", "17" }) {
        QTest::newRow(qPrintable(QStringLiteral("transient-%1").arg(QLatin1String(code))))
            << "transient" << QByteArray(R"({"error":{"code":)") + code + "}}" << QString();
    }
    row("expired-token", "", "");
    row("revoked-permission", "", "");
    row("slower-than-retry-interval", R"({"error":{"code":2}},{"pass":true,"delay_ms":250})", "");
    row("login-window-closed", "", "Authorisation canceled");
    row("login-cancelled-on-consent-page", "", "Authorisation failed");
    row("preferences-not-writable", "", "Authorisation failed");
    row("garbage-cookie-file", "", "");
}

ITask *tst_FaultMatrix::newTask(Kind kind, TaskProbe &probe)
{
    switch (kind) {
    case Kind::Albums:
        return m_plugin->newUserAlbumsTask(probe.onValue<Albums>(), probe.onError());
    case Kind::Name:
        return m_plugin->newUserNameTask(probe.onValue<QString>(), probe.onError());
    case Kind::Picture:
        return m_plugin->newUserProfilePictureTask(QSize(40, 40), probe.onValue<QUrl>(), probe.onError());
    case Kind::Upload:
        break;
    }
    const bool big = QByteArray(QTest::currentDataTag()) == "dropped-during-body";
    return m_plugin->newUploadTask(m_files.filePath(big ? "big.png" : "photo.png"), "", "matrix", probe.onDone(),
                                   probe.onError());
}

// Logs in as the user would (unless the browser remembers them) and presses
// Cancel on the consent page.
void tst_FaultMatrix::cancelOnConsentPage()
{
    QTRY_VERIFY_WITH_TIMEOUT(BrowserPage::has("login-name") || BrowserPage::has("cancel"), 30000);
    if (BrowserPage::has("login-name")) {
        BrowserPage::evaluate("document.getElementById('login-name').value = 'irina';"
                              "document.getElementById('password').value = 'sandbox';"
                              "document.getElementById('login-button').click();");
        QTRY_VERIFY_WITH_TIMEOUT(BrowserPage::has("cancel"), 30000);
    }
    BrowserPage::evaluate("document.getElementById('cancel').click()");
}

void tst_FaultMatrix::run(Kind kind)
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, script);
    QFETCH(QString, error);
    static const char *const paths[] = { "/me/albums", "/me", "/me/picture", "/me/photos" };
    const QByteArray path = paths[int(kind)];
    if (!script.isEmpty()) {
        const QByteArray method = kind == Kind::Upload ? "POST" : "GET";
        QVERIFY(m_sandbox->script(R"({"path":")" + path + R"(","method":")" + method + R"(","replies":[)" + script
                                  + "]}"));
    }
    const bool login = fault == "expired-token" || fault.startsWith("login-") || fault == "preferences-not-writable";
    if (login)
        QVERIFY(m_sandbox->post("/__sandbox/expire-tokens").status == 200);
    if (fault.startsWith("login-"))
        QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    if (fault == "revoked-permission" || fault == "login-cancelled-on-consent-page") {
        const char *permission = kind == Kind::Upload ? "photo_upload" : "user_photos";
        QVERIFY(m_sandbox->post(QByteArray("/__sandbox/revoke-permission?name=") + permission).status == 200);
    }
    if (fault == "preferences-not-writable") {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Failed to store token"));
        if (!setImmutable(Settings::filepath(), true) || !setImmutable(Settings::directory(), true))
            QVERIFY(::geteuid() != 0); // as another user, the modes alone do it
    }
    if (fault == "garbage-cookie-file") {
        QDir().mkpath(QFileInfo(Network::CookieJar::filePath()).path());
        QFile cookies(Network::CookieJar::filePath());
        QVERIFY(cookies.open(QIODevice::WriteOnly));
        cookies.write("[General]\ncookies=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\nCookieList\\xff\\xff\\xff\\xff\\x1)\n\x01\x02");
    }
    if (fault == "connection-refused")
        QVERIFY(m_sandbox->stop());

    m_manager = std::make_unique<QNetworkAccessManager>();
    m_manager->setCookieJar(new Network::CookieJar);
    m_plugin = std::make_unique<FastPlugin>();
    m_plugin->setManager(m_manager.get());
    TaskProbe probe;
    std::unique_ptr<ITask> task(newTask(kind, probe));
    if (fault == "login-window-closed") {
        QTRY_VERIFY_WITH_TIMEOUT(BrowserPage::visibleWindow(), 30000);
        BrowserPage::visibleWindow()->close();
    } else if (fault == "login-cancelled-on-consent-page") {
        cancelOnConsentPage();
    }

    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 30000);
    auto *replyTask = dynamic_cast<Network::ReplyTask *>(task.get());
    QVERIFY(replyTask);
    QTRY_VERIFY_WITH_TIMEOUT(!replyTask->isWorking(), 30000);
    if (error.isEmpty()) {
        QVERIFY2(probe.errors.isEmpty(), qPrintable(probe.errors.join(';')));
    } else {
        QCOMPARE(probe.errors.size(), 1);
        const QString text = probe.errors.first();
        QVERIFY2(error.endsWith('*') ? text.startsWith(error.chopped(1)) : text == error, qPrintable(text));
    }
    if (fault == "connection-refused")
        QVERIFY(m_sandbox->start(m_sandbox->dataDir()));
    const QJsonObject counters = m_sandbox->counters();
    QCOMPARE(counters.value("photos").toInt(), kind == Kind::Upload ? probe.successes : 0);
    QCOMPARE(probe.outcomes(), 1);
    if (fault == "expired-token" || (fault == "revoked-permission" && (kind == Kind::Albums || kind == Kind::Upload)))
        QVERIFY(storedToken() != m_goodToken && !storedToken().isEmpty()); // a new one from the login
    else
        QCOMPARE(storedToken(), m_goodToken);
}

ORVELLE_TEST_MAIN(tst_FaultMatrix)
#include "tst_faultmatrix.moc"
