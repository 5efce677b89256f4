#include "TestPreferences.h"
#include "BrowserPage.h"
#include "FacebookPlugin.h"
#include "FacebookTasks/AlbumTask.h"
#include "FacebookTasks/UploadTask.h"
#include "FacebookTasks/UserNameTask.h"
#include "SandboxProcess.h"
#include "TaskProbe.h"
#include "TestMain.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"

#include "webview/BrowserWindow.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <QUrlQuery>
#include <QWebEngineView>

namespace {

const Network::ReplyTask::RetryPolicy fast { 30, 10 };

// The tasks with a short retry interval.
class FastUserNameTask : public UserNameTask
{
public:
    FastUserNameTask(FacebookPlugin *plugin, TaskProbe &probe, RetryPolicy policy = fast)
        : UserNameTask(plugin, probe.onValue<QString>(), probe.onError(), policy)
    {
    }
};

class FastAlbumTask : public AlbumTask
{
public:
    FastAlbumTask(FacebookPlugin *plugin, TaskProbe &probe)
        : AlbumTask(plugin, probe.onValue<Albums>(), probe.onError(), fast)
    {
    }
};

class FastUploadTask : public UploadTask
{
public:
    FastUploadTask(const QString &file, const QString &album, FacebookPlugin *plugin, TaskProbe &probe,
                   RetryPolicy policy = fast)
        : UploadTask(file, album, "soak", plugin, probe.onDone(), probe.onError(), policy)
    {
    }
    int ticks = 0; // of the retry timer, the only timer aimed at a task

protected:
    void timerEvent(QTimerEvent *event) override
    {
        ++ticks;
        UploadTask::timerEvent(event);
    }
};

void storeToken(const QByteArray &token)
{
    QSettings settings(Settings::filepath(), Settings::format());
    settings.setValue(TestPreferences::tokenKey(), QString::fromUtf8(token));
}

QWidget *visibleBrowserWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->inherits("BrowserWindow"))
            return widget;
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(AlbumTask::Albums)

// The Graph task's decision tree and life cycle, driven by real replies of the
// sandbox (scripted where the sandbox would not fail by itself). Transport
// faults of every task kind are in tst_faultmatrix.
class tst_GraphTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replyClasses_data();
    void replyClasses();
    void permissionList_data();
    void permissionList();
    void otherLoginRunning();
    void loginEnds_data();
    void loginEnds();
    void slowAnswerAfterRetry();
    void stalledOrEndlessReply_data();
    void stalledOrEndlessReply();
    void oneLoginPerSubmit();
    void loginOfAnotherScopeIsNotOwn();
    void declinedPermissionAskedAgain();
    void deletedInCallback_data();
    void deletedInCallback();
    void deletingStopsUpload();
    void pluginDestroyed();
    void tokenNeverQuoted();
    void albumPages();
    void albumsOfAnotherAccount();
    void soak();

private:
    int requests(const QString &path) { return m_sandbox->counters().value("requests").toObject().value(path).toInt(); }
    QString photoFile();
    // Neither permission granted; the album listing's login is open (nobody
    // approves) when the upload asks for its own and is told 'b'.
    void uploadWhileAlbumsLogIn(FastAlbumTask &albums, FastUploadTask &upload)
    {
        QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=user_photos").status == 200);
        QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=photo_upload").status == 200);
        QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
        albums.submit();
        QTRY_VERIFY_WITH_TIMEOUT(m_plugin->isAuthorising(), 20000);
        upload.submit();
    }
    // As the service ends the login that the open window shows.
    void finishLogin(const QByteArray &token)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!BrowserPage::loginState().isEmpty(), 20000);
        const QString redirect = QString::fromUtf8(m_sandbox->origin()) + "/connect/login_success.html#access_token="
            + QString::fromUtf8(token) + "&state=" + BrowserPage::loginState();
        QVERIFY(QMetaObject::invokeMethod(m_plugin.get(), "shouldFinishAuth", Q_ARG(QUrl, QUrl(redirect))));
    }

    std::unique_ptr<SandboxProcess> m_sandbox;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<FacebookPlugin> m_plugin;
    QTemporaryDir m_files;
};

void tst_GraphTask::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>(QStringList(), qEnvironmentVariableIntValue("ORVELLE_SANDBOX_PORT"));
    QVERIFY(m_sandbox->start());
}

void tst_GraphTask::init()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1&new_permissions=0"));
    storeToken(m_sandbox->token("user_photos,photo_upload"));
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_manager->setCookieJar(new Network::CookieJar);
    m_plugin = std::make_unique<FacebookPlugin>();
    m_plugin->setManager(m_manager.get());
}

void tst_GraphTask::cleanup()
{
    m_plugin.reset();
    m_manager.reset();
}

QString tst_GraphTask::photoFile()
{
    const QString path = m_files.filePath("photo.png");
    if (!QFile::exists(path)) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(1000, 'p'));
    }
    return path;
}

void tst_GraphTask::replyClasses_data()
{
    QTest::addColumn<QByteArray>("replies"); // scripted for "/me", then it answers normally
    QTest::addColumn<QString>("error");      // empty: success; a prefix otherwise
    QTest::addColumn<int>("meRequests");
    QTest::addColumn<int>("logins");
    QTest::newRow("transient-4-twice") << QByteArray(R"({"error":{"code":4},"times":2})") << "" << 3 << 0;
    QTest::newRow("transient-17-oauth") << QByteArray(R"({"error":{"code":17,"type":"OAuthException"}})") << "" << 2 << 0;
    for (const int code : { 10, 102, 190, 200, 299, 2500 }) {
        QTest::newRow(qPrintable(QStringLiteral("login-%1").arg(code)))
            << QStringLiteral(R"({"error":{"code":%1,"type":"OAuthException"}})").arg(code).toUtf8() << "" << 2 << 1;
    }
    QTest::newRow("190-other-type") << QByteArray(R"({"error":{"code":190,"type":"GraphMethodException","message":"m1"}})")
                                    << "Facebook API error: m1" << 1 << 0;
    QTest::newRow("199") << QByteArray(R"({"error":{"code":199,"message":"m2"}})") << "Facebook API error: m2" << 1 << 0;
    QTest::newRow("300") << QByteArray(R"({"error":{"code":300,"message":"m3"}})") << "Facebook API error: m3" << 1 << 0;
    // A success without a body is still a success, with an empty name.
    QTest::newRow("204-no-body") << QByteArray(R"({"status":204})") << "" << 1 << 0;
}

void tst_GraphTask::replyClasses()
{
    QFETCH(QByteArray, replies);
    QFETCH(QString, error);
    QFETCH(int, meRequests);
    QFETCH(int, logins);
    QVERIFY(m_sandbox->script(R"({"path":"/me","replies":[)" + replies + "]}"));
    TaskProbe probe;
    FastUserNameTask task(m_plugin.get(), probe);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    if (error.isEmpty()) {
        const bool noBody = QByteArray(QTest::currentDataTag()) == "204-no-body";
        QCOMPARE(probe.value.toString(), noBody ? QString() : QString::fromUtf8("Ирина Соколова"));
    } else {
        QVERIFY2(probe.errors.first().startsWith(error), qPrintable(probe.errors.first()));
    }
    QCOMPARE(requests("/me"), meRequests);
    QCOMPARE(requests("/dialog/oauth"), logins);
    QCOMPARE(requests("/me/permissions"), 0); // it needs no permission
    // One outcome, then silence: no timer, nothing sent.
    m_sandbox->get("/me"); // a round trip through the event loop
    QCOMPARE(requests("/me"), meRequests + 1);
    QCOMPARE(probe.outcomes(), 1);
}

void tst_GraphTask::permissionList_data()
{
    QTest::addColumn<QByteArray>("permissionReply"); // empty: the sandbox's own
    QTest::addColumn<int>("logins");
    QTest::newRow("granted") << QByteArray() << 0;
    QTest::newRow("value-0") << QByteArray(R"({"data":[{"installed":1,"user_photos":0}]})") << 1;
    QTest::newRow("letter-case") << QByteArray(R"({"data":[{"installed":1,"User_Photos":1}]})") << 1;
    QTest::newRow("no-data") << QByteArray(R"({"permissions":[]})") << 1;
    QTest::newRow("newer-form") << QByteArray(R"({"data":[{"permission":"user_photos","status":"granted"}]})") << 1;
}

void tst_GraphTask::permissionList()
{
    QFETCH(QByteArray, permissionReply);
    QFETCH(int, logins);
    if (!permissionReply.isEmpty()) {
        QJsonObject reply { { "status", 200 }, { "body", QString::fromUtf8(permissionReply) } };
        QJsonObject script { { "path", "/me/permissions" }, { "replies", QJsonArray { reply } } };
        QVERIFY(m_sandbox->script(QJsonDocument(script).toJson()));
    }
    TaskProbe probe;
    FastAlbumTask task(m_plugin.get(), probe);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.successes, 1);
    QCOMPARE(requests("/dialog/oauth"), logins);
    // After a login the real request goes out without a second check.
    QCOMPARE(requests("/me/permissions"), 1);
    QCOMPARE(requests("/me/albums"), 2); // two pages

    // A later submit of the same task skips the check for good.
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 2, 20000);
    QCOMPARE(requests("/me/permissions"), 1);
}

// The album listing owns a login (user_photos); an upload that needs
// photo_upload is told 'b'. While the login is open nobody re-sends or times
// out. A check still out when the login ends is dropped: its answer is never
// taken for the upload's, and the upload goes out exactly once.
void tst_GraphTask::otherLoginRunning()
{
    TaskProbe albums, upload;
    FastAlbumTask albumTask(m_plugin.get(), albums);
    FastUploadTask uploadTask(photoFile(), "", m_plugin.get(), upload);
    uploadWhileAlbumsLogIn(albumTask, uploadTask);
    // Twice the ticks that would time the task out, while the login is open.
    QTRY_VERIFY_WITH_TIMEOUT(uploadTask.ticks >= 22, 20000);
    QCOMPARE(requests("/me/permissions"), 2);
    QCOMPARE(albums.outcomes() + upload.outcomes(), 0);

    // The host restarts the upload; its check is still out when the login ends.
    QVERIFY(m_sandbox->script(R"({"path":"/me/permissions","replies":[{"pass":true,"delay_ms":400}]})"));
    uploadTask.submit();
    QTRY_COMPARE(requests("/me/permissions"), 3);
    finishLogin(m_sandbox->token("user_photos,photo_upload"));
    QTRY_COMPARE_WITH_TIMEOUT(albums.outcomes(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 20000);
    QCOMPARE(albums.successes, 1);
    QCOMPARE(albums.value.value<AlbumTask::Albums>().first().first, QStringLiteral("Profile Pictures"));
    QCOMPARE(upload.successes, 1);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 1);
    QCOMPARE(requests("/me/photos"), 1);
    QCOMPARE(requests("/dialog/oauth"), 1);
    QVERIFY(!albumTask.isWorking());
    QVERIFY(!uploadTask.isWorking());
}

// How a login ends reaches its owner and a task told 'b' alike, once each.
void tst_GraphTask::loginEnds_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("error");
    QTest::newRow("window-closed") << "close" << "Authorisation canceled";
    QTest::newRow("no-token") << "no-token" << "Authorisation failed";
}

void tst_GraphTask::loginEnds()
{
    QFETCH(QString, ending);
    QFETCH(QString, error);
    QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=user_photos").status == 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    TaskProbe owner, waiting;
    FastAlbumTask albumTask(m_plugin.get(), owner);
    FastUploadTask uploadTask(photoFile(), "", m_plugin.get(), waiting);
    QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=photo_upload").status == 200);
    albumTask.submit();
    QTRY_VERIFY_WITH_TIMEOUT(visibleBrowserWindow(), 20000);
    uploadTask.submit();
    QTRY_VERIFY(uploadTask.ticks >= 1); // told 'b'
    if (ending == "close") {
        visibleBrowserWindow()->close();
    } else {
        const QString redirect = QString::fromUtf8(m_sandbox->origin()) + "/connect/login_success.html#_=_";
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Auth ui error:"));
        QMetaObject::invokeMethod(m_plugin.get(), "shouldFinishAuth", Q_ARG(QUrl, QUrl(redirect)));
    }
    QTRY_COMPARE(owner.errors, QStringList { error });
    QTRY_COMPARE(waiting.errors, QStringList { error });
    QVERIFY(!albumTask.isWorking());
    QVERIFY(!uploadTask.isWorking());
    QTRY_VERIFY(!visibleBrowserWindow());

    // A later login, however it ends, is none of theirs.
    TaskProbe later;
    FastUserNameTask other(m_plugin.get(), later);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
    QVERIFY(m_sandbox->post("/__sandbox/expire-tokens").status == 200);
    other.submit();
    QTRY_COMPARE_WITH_TIMEOUT(later.successes, 1, 20000);
    QCOMPARE(owner.outcomes() + waiting.outcomes(), 2);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 0);
}

// A transient error, then an answer slower than several retry intervals:
// the ticks that find it out only count, so the photo goes out twice in all
// (once failing) and is stored once.
void tst_GraphTask::slowAnswerAfterRetry()
{
    QVERIFY(m_sandbox->script(R"({"path":"/me/photos","method":"POST","replies":[
        {"error":{"code":2}},{"pass":true,"delay_ms":150}]})"));
    TaskProbe probe;
    FastUploadTask task(photoFile(), "", m_plugin.get(), probe);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.successes, 1);
    QVERIFY(task.ticks >= 3);
    QCOMPARE(requests("/me/photos"), 2);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 1);
    QVERIFY(!task.isWorking());
}

// A reply that stalls after its headers is dropped and sent again; one that
// never ends is refused before it fills the memory.
void tst_GraphTask::stalledOrEndlessReply_data()
{
    QTest::addColumn<QByteArray>("replies"); // scripted for "/me"
    QTest::addColumn<int>("stallMsecs");     // the task's watchdog
    QTest::addColumn<QString>("error");      // empty: success
    QTest::addColumn<int>("meRequests");
    // The sandbox stalls well beyond the watchdog, which a busy machine may
    // fire late; the body without end has the watchdog of a real task, so a
    // late start on a busy sandbox is no stall.
    QTest::newRow("stalls-once") << QByteArray(R"({"stall":true,"delay_ms":4000})") << 1500 << "" << 2;
    QTest::newRow("stalls-always") << QByteArray(R"({"stall":true,"delay_ms":4000,"times":3})") << 1500
                                   << "Request timed out" << 2;
    QTest::newRow("endless-body") << QByteArray(R"({"endless":true})") << 30000
                                  << "Http #200<br>Error: the reply is larger than 32 MB" << 1;
}

void tst_GraphTask::stalledOrEndlessReply()
{
    QFETCH(QByteArray, replies);
    QFETCH(int, stallMsecs);
    QFETCH(QString, error);
    QFETCH(int, meRequests);
    QVERIFY(m_sandbox->script(R"({"path":"/me","replies":[)" + replies + "]}"));
    TaskProbe probe;
    FastUserNameTask task(m_plugin.get(), probe, { 100, 2, stallMsecs });
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.errors, error.isEmpty() ? QStringList() : QStringList { error });
    QCOMPARE(requests("/me"), meRequests);
    QVERIFY(!task.isWorking());
}

// A login that does not cure the refusal ends the task with the service's
// own text: one login per submit, never a loop of windows.
void tst_GraphTask::oneLoginPerSubmit()
{
    QVERIFY(m_sandbox->script(R"({"path":"/me","replies":[
        {"error":{"code":190,"type":"OAuthException","message":"Still refused"},"times":4}]})"));
    TaskProbe probe;
    FastUserNameTask task(m_plugin.get(), probe);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.errors, QStringList { "Facebook API error: Still refused" });
    QCOMPARE(requests("/dialog/oauth"), 1);
    QCOMPARE(requests("/me"), 2);
    task.submit(); // a new submit may log in once again
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 2, 20000);
    QCOMPARE(requests("/dialog/oauth"), 2);
    QCOMPARE(requests("/me"), 4);
}

// A task told 'b' hears how another scope's login ends; that login is not
// its own, so when its request is still refused it logs in for itself.
void tst_GraphTask::loginOfAnotherScopeIsNotOwn()
{
    TaskProbe albums, upload;
    FastAlbumTask albumTask(m_plugin.get(), albums);
    FastUploadTask uploadTask(photoFile(), "", m_plugin.get(), upload);
    uploadWhileAlbumsLogIn(albumTask, uploadTask);
    QTRY_VERIFY(uploadTask.ticks >= 1);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
    finishLogin(m_sandbox->token("user_photos"));
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 20000);
    QCOMPARE(upload.errors, QStringList());
    QCOMPARE(requests("/dialog/oauth"), 2); // the album's, then the upload's own
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 1);
}

// The user unticked the permission: the service then leaves it out of later
// logins, so the plug-in asks for it again explicitly, and only then.
void tst_GraphTask::declinedPermissionAskedAgain()
{
    QVERIFY(m_sandbox->post("/__sandbox/decline-permission?name=photo_upload").status == 200);
    TaskProbe first;
    FastUploadTask refused(photoFile(), "", m_plugin.get(), first);
    refused.submit();
    QTRY_COMPARE_WITH_TIMEOUT(first.outcomes(), 1, 20000);
    QCOMPARE(first.errors, QStringList { "Facebook API error: (#200) Requires extended permission: photo_upload" });
    QCOMPARE(requests("/dialog/oauth"), 1);
    QCOMPARE(requests("/me/photos"), 1);

    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    TaskProbe second;
    FastUploadTask again(photoFile(), "", m_plugin.get(), second);
    again.submit();
    QTRY_VERIFY_WITH_TIMEOUT(BrowserPage::has("grant-photo_upload"), 20000);
    QCOMPARE(QUrlQuery(BrowserPage::visibleWindow()->view()->url()).queryItemValue("auth_type"), QString("rerequest"));
    BrowserPage::evaluate("document.getElementById('allow').click()");
    QTRY_COMPARE_WITH_TIMEOUT(second.outcomes(), 1, 20000);
    QCOMPARE(second.successes, 1);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 1);
}

// The host may delete a task inside any of its callbacks, whichever path
// (reply, retry, login outcome, local failure) the callback comes from.
void tst_GraphTask::deletedInCallback_data()
{
    QTest::addColumn<QString>("kind"); // name, albums or upload
    QTest::addColumn<QByteArray>("script"); // for the kind's request path
    QTest::addColumn<QString>("file");     // for uploads
    QTest::addColumn<QString>("login");    // none, close or no-token
    QTest::addColumn<bool>("success");
    QTest::newRow("name-success") << "name" << QByteArray() << "" << "none" << true;
    QTest::newRow("name-graph-error") << "name" << QByteArray(R"({"error":{"code":100}})") << "" << "none" << false;
    QTest::newRow("name-time-out") << "name" << QByteArray(R"({"error":{"code":2},"times":11})") << "" << "none" << false;
    QTest::newRow("name-transport-error") << "name" << QByteArray(R"({"status":503,"html":true})") << "" << "none"
                                          << false;
    QTest::newRow("albums-pages") << "albums" << QByteArray() << "" << "none" << true;
    QTest::newRow("albums-login-closed") << "albums" << QByteArray() << "" << "close" << false;
    QTest::newRow("upload-login-failed") << "upload" << QByteArray() << "photo.png" << "no-token" << false;
    QTest::newRow("upload-file-gone") << "upload" << QByteArray() << "gone.png" << "none" << false;
    QTest::newRow("upload-unsupported") << "upload" << QByteArray() << "photo.tiff" << "none" << false;
}

void tst_GraphTask::deletedInCallback()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, script);
    QFETCH(QString, file);
    QFETCH(QString, login);
    QFETCH(bool, success);
    if (!script.isEmpty())
        QVERIFY(m_sandbox->script(R"({"path":"/me","replies":[)" + script + "]}"));
    if (login != "none") {
        const QByteArray permission = kind == "albums" ? "user_photos" : "photo_upload";
        QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=" + permission).status == 200);
        QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    }
    photoFile();
    QFile::copy(photoFile(), m_files.filePath("photo.tiff"));
    int successes = 0, errors = 0;
    ITask *task = nullptr;
    const auto onError = [&](const QString &) { ++errors; delete task; };
    if (kind == "name") {
        task = new UserNameTask(m_plugin.get(), [&](const QString &) { ++successes; delete task; }, onError, fast);
    } else if (kind == "albums") {
        task = new AlbumTask(m_plugin.get(), [&](const AlbumTask::Albums &) { ++successes; delete task; }, onError, fast);
    } else {
        task = new UploadTask(m_files.filePath(file), "", "", m_plugin.get(), [&] { ++successes; delete task; }, onError,
                              fast);
    }
    QPointer<QObject> alive(task);
    // Nothing of the task may run once its callback deleted it; the debug
    // line of a reply set on it would be the trace of such a run.
    static QStringList messages;
    messages.clear();
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        messages << text;
        previous(type, context, text);
    });
    const auto restore = qScopeGuard([] { qInstallMessageHandler(previous); });
    task->submit();
    if (login == "close") {
        QTRY_VERIFY_WITH_TIMEOUT(BrowserPage::visibleWindow(), 20000);
        BrowserPage::visibleWindow()->close();
    } else if (login == "no-token") {
        QTRY_VERIFY_WITH_TIMEOUT(!BrowserPage::loginState().isEmpty(), 20000);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Auth ui error:"));
        const QString redirect = QString::fromUtf8(m_sandbox->origin()) + "/connect/login_success.html#_=_";
        QMetaObject::invokeMethod(m_plugin.get(), "shouldFinishAuth", Q_ARG(QUrl, QUrl(redirect)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!alive, 20000);
    QCOMPARE(successes, success ? 1 : 0);
    QCOMPARE(errors, success ? 0 : 1);
    m_sandbox->get("/me"); // a round trip: nothing of the task is left to run
    QVERIFY(!messages.contains("Faild to submit request"));
}

// The user pressed Cancel and the host deleted the upload while its body was
// still going out: the photo must not be published all the same.
void tst_GraphTask::deletingStopsUpload()
{
    // Larger than what the sockets buffer, so the body is still being sent
    // while the sandbox waits before reading it.
    const QString big = m_files.filePath("big.png");
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(20 * 1024 * 1024, 'p'));
    file.close();
    QVERIFY(m_sandbox->script(R"({"path":"/me/photos","method":"POST","replies":[
        {"early":true,"pass":true,"delay_ms":1500}]})"));
    TaskProbe probe;
    auto task = std::make_unique<FastUploadTask>(big, "", m_plugin.get(), probe);
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(requests("/me/photos"), 1, 20000);
    task.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_sandbox->counters().value("broken_uploads").toInt(), 1, 20000);
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), 0);
    QCOMPARE(probe.outcomes(), 0);
}

// Unloading the plug-in cancels its tasks quietly, whatever they wait for.
void tst_GraphTask::pluginDestroyed()
{
    QVERIFY(m_sandbox->script(R"({"path":"/me","replies":[{"pass":true,"delay_ms":300}]})"));
    QVERIFY(m_sandbox->script(R"({"path":"/me/photos","method":"POST","replies":[{"error":{"code":2}}]})"));
    QVERIFY(m_sandbox->post("/__sandbox/revoke-permission?name=user_photos").status == 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    TaskProbe requesting, retrying, inLogin;
    FastUserNameTask nameTask(m_plugin.get(), requesting);
    FastUploadTask uploadTask(photoFile(), "", m_plugin.get(), retrying, { 5000, 10 });
    FastAlbumTask albumTask(m_plugin.get(), inLogin);
    nameTask.submit();
    uploadTask.submit();
    albumTask.submit();
    QTRY_VERIFY_WITH_TIMEOUT(m_plugin->isAuthorising() && requests("/me/photos") == 1 && requests("/me") == 1,
                             20000);
    QTRY_VERIFY(uploadTask.isWorking() && !uploadTask.isCanceled()); // its timer
    m_plugin.reset();
    for (ITask *task : std::initializer_list<ITask *> { &nameTask, &uploadTask, &albumTask })
        QVERIFY(task->isCanceled());
    QVERIFY(!nameTask.isWorking() && !uploadTask.isWorking() && !albumTask.isWorking());
    m_sandbox->get("/me"); // a round trip: the held reply is long gone
    QCOMPARE(requesting.outcomes() + retrying.outcomes() + inLogin.outcomes(), 0);
    nameTask.submit();
    QCOMPARE(requesting.errors, QStringList { "Facebook plug-in unloaded" });
}

void tst_GraphTask::albumPages()
{
    TaskProbe probe;
    FastAlbumTask task(m_plugin.get(), probe);
    // The second page fails once, transiently: the task asks for that page again.
    QVERIFY(m_sandbox->script(R"({"path":"/me/albums","replies":[{"pass":true},{"error":{"code":2}}]})"));
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    const auto albums = probe.value.value<AlbumTask::Albums>();
    QCOMPARE(albums.size(), 30);
    QCOMPARE(albums.first(), qMakePair(QStringLiteral("Profile Pictures"), false));
    QCOMPARE(albums.at(1), qMakePair(QStringLiteral("Mobile Uploads"), true));
    QCOMPARE(albums.last().first, QStringLiteral("Album 23"));
    QCOMPARE(requests("/me/albums"), 3);
    QCOMPARE(m_plugin->albumMap().size(), 29); // "Trips" twice: the later id wins
    QCOMPARE(m_plugin->albumMap().value("Trips"), QStringLiteral("500000000000007"));
    QCOMPARE(m_plugin->albumMap().value("Album 23"), QStringLiteral("500000000000030"));
}

// The service may quote the token in words of its own, or inside an address
// encoded twice: the host sees neither.
void tst_GraphTask::tokenNeverQuoted()
{
    const QString token = QSettings(Settings::filepath(), Settings::format()).value(TestPreferences::tokenKey()).toString();
    QVERIFY(!token.isEmpty());
    const QString message = "Token " + token + " rejected at /x?y=access_token%253D" + token + "%2526z";
    QVERIFY(m_sandbox->script(QJsonDocument(QJsonObject { { "path", "/me" },
        { "replies", QJsonArray { QJsonObject { { "error", QJsonObject { { "code", 100 }, { "message", message } } } } } } })
                                  .toJson()));
    TaskProbe probe;
    FastUserNameTask task(m_plugin.get(), probe);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.errors, QStringList { "Facebook API error: Token *** rejected at /x?y=access_token%253D***%2526z" });
}

// Another account's token took the place of the one that listed the albums:
// its album ids are forgotten, and the photo goes to the new account's own
// default album, never to an album of the previous user.
void tst_GraphTask::albumsOfAnotherAccount()
{
    TaskProbe listing, upload;
    FastAlbumTask albums(m_plugin.get(), listing);
    albums.submit();
    QTRY_COMPARE_WITH_TIMEOUT(listing.successes, 1, 20000);
    QVERIFY(m_plugin->albumMap().contains("Trips"));
    storeToken(m_sandbox->post("/__sandbox/token?scope=photo_upload&user=alex").json()["access_token"].toString().toUtf8());
    QTest::ignoreMessage(QtDebugMsg, "Album \"Trips\" does not exist. Default to application album");
    FastUploadTask task(photoFile(), "Trips", m_plugin.get(), upload);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 20000);
    QCOMPARE(upload.successes, 1);
    QCOMPARE(requests("/me/photos"), 1);
}

// Many tasks at once with transient errors and a forced re-login: every task
// ends with exactly one callback and every successful upload is stored once.
void tst_GraphTask::soak()
{
    QVERIFY(m_sandbox->script(R"({"path":"/me/photos","method":"POST","replies":[
        {"error":{"code":2},"times":3},{"pass":true},{"error":{"code":4}},{"pass":true,"times":5},
        {"error":{"code":17},"times":2}]})"));
    QVERIFY(m_sandbox->script(R"({"path":"/me/albums","replies":[{"error":{"code":1}}]})"));
    std::vector<std::unique_ptr<TaskProbe>> probes;
    std::vector<std::unique_ptr<ITask>> tasks;
    int uploads = 0;
    for (int i = 0; i < 70; ++i) {
        probes.push_back(std::make_unique<TaskProbe>());
        TaskProbe &probe = *probes.back();
        if (i % 7 == 3)
            tasks.push_back(std::make_unique<FastAlbumTask>(m_plugin.get(), probe));
        else if (i % 7 == 5)
            tasks.push_back(std::make_unique<FastUserNameTask>(m_plugin.get(), probe));
        else {
            tasks.push_back(std::make_unique<FastUploadTask>(photoFile(), "", m_plugin.get(), probe));
            ++uploads;
        }
        tasks.back()->submit();
        if (i == 35)
            QVERIFY(m_sandbox->post("/__sandbox/expire-tokens").status == 200); // everyone logs in again
        if (i % 10 == 9) {
            QTRY_VERIFY_WITH_TIMEOUT(std::all_of(probes.begin(), probes.end(),
                                                 [](const auto &p) { return p->outcomes() >= 1; }),
                                     60000);
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(probes.begin(), probes.end(), [](const auto &p) { return p->outcomes() >= 1; }),
                             60000);
    QCOMPARE(uploads, 50);
    int succeededUploads = 0;
    for (size_t i = 0; i < probes.size(); ++i) {
        QCOMPARE(probes[i]->outcomes(), 1);
        QVERIFY2(probes[i]->errors.isEmpty(), qPrintable(probes[i]->errors.join(';')));
        succeededUploads += (i % 7 != 3 && i % 7 != 5) ? probes[i]->successes : 0;
    }
    QCOMPARE(m_sandbox->counters().value("photos").toInt(), succeededUploads);
    QCOMPARE(succeededUploads, 50);
}

ORVELLE_TEST_MAIN(tst_GraphTask)
#include "tst_graphtask.moc"
