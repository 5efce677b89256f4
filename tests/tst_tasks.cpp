#include "FacebookPlugin.h"
#include "FacebookTasks/AlbumTask.h"
#include "FacebookTasks/CreateAlbumTask.h"
#include "FacebookTasks/ProfilePictureTask.h"
#include "FacebookTasks/UploadTask.h"
#include "FacebookTasks/UserNameTask.h"
#include "FakeGraph.h"
#include "GraphClient.h"
#include "LoginFlow.h"
#include "SecretWatch.h"
#include "TaskProbe.h"
#include "TestMain.h"
#include "PreferencesFile.h"

#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTimer>

#include <sys/stat.h>

using Reply = FakeGraph::Reply;
using Fault = FakeGraph::Fault;
Q_DECLARE_METATYPE(AlbumTask::Albums)
Q_DECLARE_METATYPE(FakeGraph::Reply)
Q_DECLARE_METATYPE(Publishing::NewAlbum)

namespace {

const Network::ReplyTask::RetryPolicy fast { 30, 10 };
constexpr auto times = &FakeGraph::times;

// Stands in for the browser: every login ends as told, once the event loop
// turns ('y' stores the next token as the real flow does), or stays open
// until the test ends it.
class ScriptedLogin : public LoginFlow
{
public:
    explicit ScriptedLogin(GraphClient *graph) : m_graph(graph) { }
    char answer = 'y'; // 0: the login stays open
    QStringList opened;
    QList<bool> rerequested;

    void end(char code)
    {
        if (code == 'y')
            m_graph->storeLoginToken(QStringLiteral("token-%1").arg(opened.size()));
        finish(code);
    }

protected:
    void open(const QString &scope, bool rerequest) override
    {
        opened << scope;
        rerequested << rerequest;
        if (answer)
            QTimer::singleShot(0, this, [this] { end(answer); });
    }

private:
    GraphClient *m_graph;
};

// An upload that counts the ticks of its retry timer.
struct CountingUpload : UploadTask
{
    using UploadTask::UploadTask;
    int ticks = 0;
    void timerEvent(QTimerEvent *event) override { ++ticks, UploadTask::timerEvent(event); }
};

} // namespace

// The Graph tasks' decision tree and life cycle against a Graph API on
// loopback and a login that ends as each test says.
class tst_Tasks : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replyClasses_data();
    void replyClasses();
    void permissionList_data();
    void permissionList();
    void otherLoginRunning();
    void loginEnds_data();
    void loginEnds();
    void refusedAfterOwnLogin_data();
    void refusedAfterOwnLogin();
    void loginOfAnotherScopeIsNotOwn();
    void stalledOrEndlessReply_data();
    void stalledOrEndlessReply();
    void uploadResentBeforeBodyWhole();
    void deletedInCallback_data();
    void deletedInCallback();
    void deletingStopsUpload();
    void servicesGone();
    void albumPages();
    void albumsOfAnotherToken_data();
    void albumsOfAnotherToken();
    void phaseOrder_data();
    void phaseOrder();
    void checkRetriesLeaveTheUploadItsTime();
    void publishedAsData_data();
    void publishedAsData();
    void photoForm_data();
    void photoForm();
    void albumCreated_data();
    void albumCreated();
    void tokenNeverQuoted();
    void signedRequests_data();
    void signedRequests();
    void realServiceTokenStaysApart();

private:
    Network::ReplyTask *newTask(const QString &kind, TaskProbe &probe, Network::ReplyTask::RetryPolicy policy = fast);
    QString photo(const char *name = "photo.png", int size = 1000);
    // The album listing's login stays open while the upload asks for its
    // own login and is told 'b'.
    void uploadWhileAlbumsLogIn(Network::ReplyTask &albums, Network::ReplyTask &upload);

    std::unique_ptr<FakeGraph> m_server;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<GraphClient> m_graph;
    std::unique_ptr<ScriptedLogin> m_login;
    QTemporaryDir m_files;
};

void tst_Tasks::init()
{
    m_server = std::make_unique<FakeGraph>();
    m_manager = std::make_unique<QNetworkAccessManager>();
    // A host's manager may follow redirects; the tasks must not.
    m_manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_graph = std::make_unique<GraphClient>(m_server->origin(), PreferencesFile::tokenKey());
    m_graph->setManager(m_manager.get());
    m_login = std::make_unique<ScriptedLogin>(m_graph.get());
    PreferencesFile::storeToken(QStringLiteral("token-old"));
}

void tst_Tasks::cleanup()
{
    m_login.reset();
    m_graph.reset();
    m_manager.reset();
    m_server.reset();
}

QString tst_Tasks::photo(const char *name, int size)
{
    const QString path = m_files.filePath(QString::fromLatin1(name));
    QFile file(path);
    if (file.size() != size + 8 && file.open(QIODevice::WriteOnly))
        file.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(size, 'p'));
    return path;
}

Network::ReplyTask *tst_Tasks::newTask(const QString &kind, TaskProbe &probe, Network::ReplyTask::RetryPolicy policy)
{
    GraphClient *graph = m_graph.get();
    LoginFlow *login = m_login.get();
    if (kind == "albums")
        return new AlbumTask(graph, login, probe.onValue<AlbumTask::Albums>(), probe.onError(), policy);
    if (kind == "picture")
        return new ProfilePictureTask(graph, login, QSize(40, 30), probe.onValue<QUrl>(), probe.onError(), policy);
    if (kind == "upload")
        return new CountingUpload(graph, login, photo(), QString(), "soak", probe.onDone(), probe.onError(), policy);
    return new UserNameTask(graph, login, probe.onValue<QString>(), probe.onError(), policy);
}

void tst_Tasks::replyClasses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QList<Reply>>("replies"); // for the kind's request, then it answers as usual
    QTest::addColumn<QString>("error");        // empty: success; '*' stands for any text
    QTest::addColumn<int>("requests");         // of the kind's request
    QTest::addColumn<int>("logins");
    const auto row = [](const char *name, const char *kind, QList<Reply> replies, const QByteArray &error, int requests,
                        int logins) {
        QTest::newRow(name) << kind << replies << QString::fromUtf8(error) << requests << logins;
    };
    row("transient-4-twice", "name", { FakeGraph::error(4, ""), FakeGraph::error(4, "") }, "", 3, 0);
    row("transient-17-oauth", "albums", { FakeGraph::error(17) }, "", 3, 0); // then two pages
    row("transient-1", "picture", { FakeGraph::error(1) }, "", 2, 0);
    // After the whole photo only a refusal that says nothing was processed
    // (the rate limits) sends it again; the rest may follow a stored photo.
    const char *mayBePublished = " (after the whole photo was sent: it may have been published)";
    const Reply unknownError { 500, R"({"error":{"code":1,"message":"An unknown error occurred"}})" };
    row("after-photo-1", "upload", { unknownError }, "Facebook API error: An unknown error occurred (after*", 1, 0);
    row("after-photo-2", "upload", { FakeGraph::error(2) }, QByteArray("Facebook API error: m") + mayBePublished, 1, 0);
    row("after-photo-17", "upload", { FakeGraph::error(17, "", "limited"), FakeGraph::error(17) }, "", 3, 0);
    row("after-photo-503-code-4", "upload", { Reply { 503, R"({"error":{"code":4,"message":"m"}})" } },
        QByteArray("Facebook API error: m") + mayBePublished, 1, 0);
    row("after-photo-proxy-json", "upload", { Reply { 400, R"({"error":"bad gateway"})" } }, "Http #400*may have been published)", 1, 0);
    row("after-photo-500-refusal", "upload", { Reply { 500, R"({"error":{"code":100,"message":"m"}})" } },
        QByteArray("Facebook API error: m") + mayBePublished, 1, 0);
    row("after-photo-400-refusal", "upload", { FakeGraph::error(100) }, "Facebook API error: m", 1, 0);
    row("after-photo-504", "upload", { Reply { 504, "<html>gateway</html>" } }, "Http #504*<br>Error: *may have been published)", 1, 0);
    for (const int code : { 10, 102, 190, 200, 299, 2500 })
        QTest::newRow(qPrintable(QString("login-%1").arg(code))) << "name" << QList<Reply> { FakeGraph::error(code) }
                                                                << "" << 2 << 1;
    row("login-upload", "upload", { FakeGraph::error(190) }, "", 2, 1);
    row("190-other-type", "name", { FakeGraph::error(190, "GraphMethodException", "m1") }, "Facebook API error: m1", 1, 0);
    row("199", "name", { FakeGraph::error(199, "", "m2") }, "Facebook API error: m2", 1, 0);
    row("300", "upload", { FakeGraph::error(300, "", "m3") }, "Facebook API error: m3", 1, 0);
    row("204-no-body", "name", { Reply { 200, "{}" } }, "", 1, 0);
    row("time-out", "name", times(11, FakeGraph::error(2)), "Request timed out", 11, 0);
    row("cut-off", "albums", { Reply { 200, "{\"data\":[], \"id\":\"0123456789\"}", Fault::Cut } },
        "Http #200(OK)<br>Error: *", 1, 0);
    // The network layer sends a request again once when its connection
    // drops; not an upload whose body went out whole.
    row("dropped", "name", times(2, Reply { 200, {}, Fault::Drop }), "Http #0<br>Error: *", 2, 0);
    row("dropped-after-photo", "upload", { Reply { 200, {}, Fault::Drop } },
        "No answer after the photo was sent: it may have been published", 1, 0);
    row("cut-off-after-photo", "upload", { Reply { 200, {}, Fault::Cut } },
        "No answer after the photo was sent: it may have been published", 1, 0);
    row("302", "picture", { Reply { 302, "{}" } }, "Http #302(Found)*", 1, 0);
    row("302-upload", "upload", { Reply { 302, "{}" } }, "Http #302(Found)*may have been published)", 1, 0);
    row("200-foreign-page", "upload", { Reply { 200, "<html>Sign in to the network</html>" } },
        "Http #200(OK)<br>Error: the answer is not the service's*may have been published)", 1, 0);
    row("400-without-error", "name", { Reply { 400, "{}" } }, "Http #400(Bad Request)<br>Error: *", 1, 0);
}

void tst_Tasks::replyClasses()
{
    QFETCH(QString, kind);
    QFETCH(QList<Reply>, replies);
    QFETCH(QString, error);
    QFETCH(int, requests);
    QFETCH(int, logins);
    const QByteArray path = kind == "albums" ? "/me/albums" : kind == "picture" ? "/me/picture" : kind == "upload" ? "/me/photos" : "/me";
    m_server->script((kind == "upload" ? "POST " : "GET ") + path, replies);
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask(kind, probe));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 10000);
    if (error.isEmpty()) {
        QCOMPARE(probe.errors, QStringList());
        if (kind == "name")
            QCOMPARE(probe.value.toString(), QTest::currentDataTag() == QByteArray("204-no-body") ? QString() : QString("Ирина Соколова"));
    } else {
        const QString pattern = QRegularExpression::escape(error).replace(QStringLiteral("\\*"), QStringLiteral(".*"));
        QVERIFY2(QRegularExpression(QStringLiteral("\\A%1\\z").arg(pattern), QRegularExpression::DotMatchesEverythingOption)
                     .match(probe.errors.value(0))
                     .hasMatch(),
                 qPrintable(probe.errors.value(0)));
    }
    // A tick that finds the request still out (a slow machine) sends nothing.
    const int sent = m_server->requests(path);
    QVERIFY2(error == "Request timed out" ? sent <= requests : sent == requests, qPrintable(QString::number(sent)));
    QCOMPARE(m_login->opened.size(), logins);
    QCOMPARE(m_server->photos(), kind == "upload" ? probe.successes : 0);
    // One outcome, then silence: no timer, nothing sent.
    QTest::qWait(100);
    QCOMPARE(m_server->requests(path), sent);
    QCOMPARE(probe.outcomes(), 1);
}

void tst_Tasks::permissionList_data()
{
    QTest::addColumn<QByteArray>("permissions"); // empty: granted
    QTest::addColumn<int>("logins");
    QTest::newRow("granted") << QByteArray() << 0;
    QTest::newRow("value-0") << QByteArray(R"({"data":[{"installed":1,"user_photos":0}]})") << 1;
    QTest::newRow("letter-case") << QByteArray(R"({"data":[{"installed":1,"User_Photos":1}]})") << 1;
    QTest::newRow("no-data") << QByteArray(R"({"permissions":[]})") << 1;
    QTest::newRow("newer-form") << QByteArray(R"({"data":[{"permission":"user_photos","status":"granted"}]})") << 1;
}

void tst_Tasks::permissionList()
{
    QFETCH(QByteArray, permissions);
    QFETCH(int, logins);
    if (!permissions.isEmpty())
        m_server->script("GET /me/permissions", { Reply { 200, permissions } });
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask("albums", probe));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.successes, 1, 10000);
    QCOMPARE(m_login->opened.size(), logins);
    // After a login the real request goes out without a second check, and a
    // later submit of the same task skips the check for good.
    QCOMPARE(m_server->requests("/me/permissions"), 1);
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.successes, 2, 10000);
    QCOMPARE(m_server->requests("/me/permissions"), 1);
    QCOMPARE(m_server->requests("/me/albums"), 4);
}

// The album listing owns a login (user_photos); an upload that needs
// photo_upload is told 'b'. While the login is open nobody re-sends or times
// out. A check still out when the login ends is dropped, and the upload goes
// out exactly once.
void tst_Tasks::otherLoginRunning()
{
    const Reply none { 200, R"({"data":[{"installed":1}]})" };
    m_server->script("GET /me/permissions", { none, none, Reply { 200, {}, Fault::None, 300 } });
    TaskProbe albums, upload;
    std::unique_ptr<Network::ReplyTask> albumTask(newTask("albums", albums));
    std::unique_ptr<Network::ReplyTask> uploadTask(newTask("upload", upload));
    uploadWhileAlbumsLogIn(*albumTask, *uploadTask);
    auto *counting = static_cast<CountingUpload *>(uploadTask.get());
    QTRY_VERIFY_WITH_TIMEOUT(counting->ticks >= 22, 10000); // twice what would time it out
    QCOMPARE(m_server->requests("/me/permissions"), 2);
    QCOMPARE(albums.outcomes() + upload.outcomes(), 0);

    uploadTask->submit(); // the host restarts it; its check is still out when the login ends
    QTRY_COMPARE(m_server->requests("/me/permissions"), 3);
    m_login->end('y');
    QTRY_COMPARE_WITH_TIMEOUT(albums.successes + upload.successes, 2, 10000);
    QCOMPARE(albums.value.value<AlbumTask::Albums>().first().first, QStringLiteral("Profile Pictures"));
    QCOMPARE(m_server->photos(), 1);
    QCOMPARE(m_server->requests("/me/photos"), 1);
    QCOMPARE(m_login->opened, QStringList { "user_photos" });
}

// How a login ends reaches its owner and a task told 'b' alike, once each;
// later logins are none of theirs.
void tst_Tasks::loginEnds_data()
{
    QTest::addColumn<char>("code");
    QTest::addColumn<QString>("error");
    QTest::newRow("window-closed") << 'c' << "Authorisation canceled";
    QTest::newRow("failed") << 'n' << "Authorisation failed";
}

void tst_Tasks::loginEnds()
{
    QFETCH(char, code);
    QFETCH(QString, error);
    m_server->script("GET /me/albums", { FakeGraph::error(190) });
    m_server->script("POST /me/photos", { FakeGraph::error(190) });
    TaskProbe owner, waiting;
    std::unique_ptr<Network::ReplyTask> albumTask(newTask("albums", owner));
    std::unique_ptr<Network::ReplyTask> uploadTask(newTask("upload", waiting));
    uploadWhileAlbumsLogIn(*albumTask, *uploadTask);
    m_login->end(code);
    QCOMPARE(owner.errors, QStringList { error });
    QCOMPARE(waiting.errors, QStringList { error });
    QVERIFY(!albumTask->isWorking() && !uploadTask->isWorking());

    TaskProbe later;
    std::unique_ptr<Network::ReplyTask> other(newTask("name", later));
    m_server->script("GET /me", { FakeGraph::error(190) });
    m_login->answer = 'y';
    other->submit();
    QTRY_COMPARE_WITH_TIMEOUT(later.successes, 1, 10000);
    QCOMPARE(owner.outcomes() + waiting.outcomes(), 2);
    QCOMPARE(m_server->photos(), 0);
}

// A refusal that the task's own login does not cure ends the task with the
// service's text: one login per submit, never a loop of windows. The next
// submit's login asks again, explicitly, for a permission the user declined.
void tst_Tasks::refusedAfterOwnLogin_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<bool>>("rerequested"); // by each login
    QTest::newRow("token-refused") << "name" << 190 << QList<bool> { false, false };
    QTest::newRow("permission-declined") << "upload" << 200 << QList<bool> { false, true };
}

void tst_Tasks::refusedAfterOwnLogin()
{
    QFETCH(QString, kind);
    QFETCH(int, code);
    QFETCH(QList<bool>, rerequested);
    m_server->script(kind == "name" ? "GET /me" : "POST /me/photos", times(4, FakeGraph::error(code, "OAuthException", "no")));
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask(kind, probe));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 10000);
    QCOMPARE(probe.errors, QStringList { "Facebook API error: no" });
    QCOMPARE(m_login->opened.size(), 1);
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 2, 10000);
    QCOMPARE(m_login->rerequested, rerequested);
}

// A task told 'b' hears how another scope's login ends; that login is not
// its own, so when its request is still refused it logs in for itself.
void tst_Tasks::loginOfAnotherScopeIsNotOwn()
{
    m_server->script("GET /me/albums", { FakeGraph::error(190) });
    m_server->script("POST /me/photos", { FakeGraph::error(200), FakeGraph::error(200) });
    TaskProbe albums, upload;
    std::unique_ptr<Network::ReplyTask> albumTask(newTask("albums", albums));
    std::unique_ptr<Network::ReplyTask> uploadTask(newTask("upload", upload));
    uploadWhileAlbumsLogIn(*albumTask, *uploadTask);
    m_login->answer = 'y';
    m_login->end('y');
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 10000);
    QCOMPARE(upload.errors, QStringList());
    QCOMPARE(m_login->opened, (QStringList { "user_photos", "photo_upload" }));
    QCOMPARE(m_server->photos(), 1);
}

// A reply that stalls after its headers is dropped and sent again; one that
// never ends is refused before it fills the memory.
void tst_Tasks::stalledOrEndlessReply_data()
{
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("requests");
    const Reply stall { 200, {}, Fault::Stall };
    QTest::newRow("stalls-once") << QList<Reply> { stall } << "" << 2;
    QTest::newRow("stalls-always") << QList<Reply> { stall, stall, stall } << "Request timed out" << 2;
    QTest::newRow("endless-body") << QList<Reply> { Reply { 200, {}, Fault::Endless } }
                                  << "Http #200<br>Error: the reply is larger than 32 MB" << 1;
}

void tst_Tasks::stalledOrEndlessReply()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(QString, error);
    QFETCH(int, requests);
    m_server->script("GET /me", replies);
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask("name", probe, { 100, 2, 300 }));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    QCOMPARE(probe.errors, error.isEmpty() ? QStringList() : QStringList { error });
    QCOMPARE(m_server->requests("/me"), requests);
}

// Before its body is whole the service cannot have the photo: a connection
// closed then is the network stack's to retry, and the photo goes out again.
void tst_Tasks::uploadResentBeforeBodyWhole()
{
    m_server->script("POST /me/photos", { Reply { 0, {}, Fault::DropEarly } });
    TaskProbe probe;
    // Larger than the sockets' buffers hold: still going out when it is cut.
    UploadTask task(m_graph.get(), m_login.get(), photo("large.png", 12 << 20), "", "", probe.onDone(), probe.onError(), fast);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 20000);
    // The network stack re-sends after a reset mid-body, or now and then
    // (Qt 6 about one run in ten, Qt 5 about one in a hundred) reports the
    // reset; never the no-answer text, and the photo is then not there.
    if (!probe.errors.isEmpty()) {
        QCOMPARE(probe.errors, QStringList { "Http #0<br>Error: Unknown error" });
        QCOMPARE(m_server->photos(), 0);
        return;
    }
    QCOMPARE(probe.errors, QStringList());
    QCOMPARE(m_server->requests("/me/photos"), 2);
    QCOMPARE(m_server->photos(), 1);
}

// The host may delete a task inside any of its callbacks, whichever path
// (reply, retry, login outcome, local failure) the callback comes from.
void tst_Tasks::deletedInCallback_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<char>("login"); // how a login ends; 0: none needed
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("error"); // empty: success; '*' stands for any text
    QTest::newRow("name-success") << "name" << QList<Reply>() << '\0' << "" << "";
    QTest::newRow("name-graph-error") << "name" << QList<Reply> { FakeGraph::error(100) } << '\0' << "" << "Facebook API error: m";
    QTest::newRow("name-time-out") << "name" << times(11, FakeGraph::error(2)) << '\0' << "" << "Request timed out";
    QTest::newRow("name-transport-error") << "name" << QList<Reply> { Reply { 503, "<html/>" } } << '\0' << "" << "Http #503*";
    QTest::newRow("albums-pages") << "albums" << QList<Reply>() << '\0' << "" << "";
    QTest::newRow("albums-login-closed") << "albums" << QList<Reply> { FakeGraph::error(190) } << 'c' << "" << "Authorisation canceled";
    QTest::newRow("upload-login-failed") << "upload" << QList<Reply> { FakeGraph::error(190) } << 'n' << "photo.png" << "Authorisation failed";
    QTest::newRow("upload-file-gone") << "upload" << QList<Reply>() << '\0' << "gone.png" << "Can't find *gone.png";
    QTest::newRow("upload-unanswered") << "upload" << QList<Reply> { Reply { 200, {}, Fault::Drop } } << '\0' << "photo.png"
                                       << "No answer after the photo was sent: it may have been published";
}

void tst_Tasks::deletedInCallback()
{
    QFETCH(QString, kind);
    QFETCH(QList<Reply>, replies);
    QFETCH(char, login);
    QFETCH(QString, file);
    QFETCH(QString, error);
    m_server->script(kind == "upload" ? "POST /me/photos" : kind == "albums" ? "GET /me/albums" : "GET /me", replies);
    m_login->answer = login;
    photo();
    int successes = 0;
    QStringList errors;
    ITask *task = nullptr;
    const auto onError = [&](const QString &message) { errors << message; delete task; };
    if (kind == "name")
        task = new UserNameTask(m_graph.get(), m_login.get(), [&](const QString &) { ++successes; delete task; }, onError, fast);
    else if (kind == "albums")
        task = new AlbumTask(m_graph.get(), m_login.get(), [&](const AlbumTask::Albums &) { ++successes; delete task; },
                             onError, fast);
    else
        task = new UploadTask(m_graph.get(), m_login.get(), m_files.filePath(file), "", "", [&] { ++successes; delete task; },
                              onError, fast);
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
    QTRY_VERIFY_WITH_TIMEOUT(!alive, 10000);
    QCOMPARE(successes, error.isEmpty() ? 1 : 0);
    QCOMPARE(errors.size(), error.isEmpty() ? 0 : 1);
    const QStringList around = error.split('*'); // what stands before and after the '*'
    QVERIFY2(error.isEmpty() || (errors.first().startsWith(around.first()) && errors.first().endsWith(around.last())),
             qPrintable(errors.value(0)));
    QTest::qWait(50);
    QVERIFY(!messages.contains("Faild to submit request"));
}

// The user pressed Cancel and the host deleted the upload while its body was
// still going out: the photo must not be published all the same.
void tst_Tasks::deletingStopsUpload()
{
    m_server->setReadPace(64 << 10);
    TaskProbe probe;
    auto task = std::make_unique<UploadTask>(m_graph.get(), m_login.get(), photo("big.png", 20 << 20), "", "",
                                             probe.onDone(), probe.onError(), fast);
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests("/me/photos"), 1, 10000);
    task.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->brokenUploads(), 1, 10000);
    QCOMPARE(m_server->photos(), 0);
    QCOMPARE(probe.outcomes(), 0);
}

// Unloading the plug-in takes the login flow and the Graph client with it:
// its tasks are canceled quietly, whatever they wait for.
void tst_Tasks::servicesGone()
{
    m_login->answer = 0;
    m_server->script("GET /me", { Reply { 200, {}, Fault::None, 300 } });
    m_server->script("POST /me/photos", { FakeGraph::error(4) }); // refused unprocessed: sent again
    m_server->script("GET /me/albums", { FakeGraph::error(190) });
    TaskProbe requesting, retrying, inLogin;
    std::unique_ptr<Network::ReplyTask> name(newTask("name", requesting));
    std::unique_ptr<Network::ReplyTask> upload(newTask("upload", retrying, { 5000, 10 }));
    std::unique_ptr<Network::ReplyTask> albums(newTask("albums", inLogin));
    name->submit();
    upload->submit();
    albums->submit();
    QTRY_VERIFY_WITH_TIMEOUT(m_login->isAuthorising() && m_server->requests("/me/photos") == 1, 10000);
    QTRY_VERIFY(upload->isWorking() && !upload->isCanceled());
    m_login.reset();
    m_graph.reset();
    for (Network::ReplyTask *task : { name.get(), upload.get(), albums.get() })
        QVERIFY(task->isCanceled() && !task->isWorking());
    QTest::qWait(400); // the held reply would have come by now
    QCOMPARE(requesting.outcomes() + retrying.outcomes() + inLogin.outcomes(), 0);
    name->submit();
    QCOMPARE(requesting.errors, QStringList { "Facebook plug-in unloaded" });
}

// Pages are followed on the Graph origin only, each signed afresh; the later
// id of a name wins, and can_upload is the service's.
void tst_Tasks::albumPages()
{
    m_server->script("GET /me/albums", { Reply(), FakeGraph::error(2) });
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask("albums", probe));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.successes, 1, 10000);
    const auto albums = probe.value.value<AlbumTask::Albums>();
    QCOMPARE(albums, (AlbumTask::Albums { { "Profile Pictures", false }, { "Trips", true }, { "Trips", true } }));
    QCOMPARE(m_server->requests("/me/albums"), 3); // the second page asked for again
    QCOMPARE(m_server->targets().last(), QByteArray("/me/albums?after=2&access_token=token-old"));
    QCOMPARE(m_graph->albumMap().value("Trips"), QStringLiteral("13"));
    QCOMPARE(m_graph->albumMap().size(), 2);
}

// Album ids belong to the token that listed them: the plug-in's own login
// carries them over; after any other change of the stored token an upload
// lists the albums again, so the photo goes to the album of that name, or
// to the default album when the account has none.
void tst_Tasks::albumsOfAnotherToken_data()
{
    QTest::addColumn<QList<Reply>>("listedAgain");
    QTest::addColumn<QByteArray>("posted");
    QTest::newRow("same-user") << QList<Reply> { Reply(), Reply() } << QByteArray("/13/photos?");
    QTest::newRow("no-such-album") << QList<Reply> { Reply { 200, R"({"data":[{"id":"21","name":"Home"}]})" } }
                                   << QByteArray("/me/photos?");
    QTest::newRow("second-page-limited") << QList<Reply> { Reply(), FakeGraph::error(4), Reply() } << QByteArray("/13/photos?");
    QTest::newRow("not-the-service") << QList<Reply> { Reply { 200, "<html>Sign in to the network</html>" } } << QByteArray();
}

void tst_Tasks::albumsOfAnotherToken()
{
    QFETCH(QList<Reply>, listedAgain);
    QFETCH(QByteArray, posted);
    TaskProbe listing, upload;
    std::unique_ptr<Network::ReplyTask> albums(newTask("albums", listing));
    albums->submit();
    QTRY_COMPARE_WITH_TIMEOUT(listing.successes, 1, 10000);
    QVERIFY(m_graph->storeLoginToken("token-own-login"));
    QCOMPARE(m_graph->albumMap().value("Trips"), QStringLiteral("13"));
    PreferencesFile::storeToken("token-of-another-process");
    m_server->script("GET /me/albums", listedAgain);
    if (posted.startsWith("/me"))
        QTest::ignoreMessage(QtDebugMsg, "Album \"Trips\" does not exist. Default to application album");
    UploadTask task(m_graph.get(), m_login.get(), photo(), "Trips", "", upload.onDone(), upload.onError(), fast);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 10000);
    QCOMPARE(m_server->requests("/me/albums"), 2 + listedAgain.size());
    if (posted.isEmpty()) { // nowhere it surely belongs: not sent
        QCOMPARE(m_server->requests("/me/photos"), 0);
        QVERIFY2(upload.errors.value(0).startsWith("Http #200(OK)<br>Error: the answer is not the service's"),
                 qPrintable(upload.errors.value(0)));
        return;
    }
    QCOMPARE(upload.successes, 1);
    QVERIFY2(m_server->targets().last().startsWith(posted), m_server->targets().last().constData());
    QVERIFY(m_server->targets().last().endsWith("token-of-another-process"));
}

// Every change of a task's phase goes through one setter, in an order the
// diagram allows.
void tst_Tasks::phaseOrder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<char>("login"); // how a login ends; 0: none asked for
    QTest::addColumn<QString>("phases");
    QTest::newRow("no-permission-needed") << "name" << QByteArray() << QList<Reply>() << '\0'
                                          << "canceled idle requesting finished";
    QTest::newRow("check-retried") << "upload" << QByteArray("GET /me/permissions") << QList<Reply> { FakeGraph::error(2) }
                                   << '\0' << "canceled idle checking retrying checking requesting finished";
    QTest::newRow("rate-limited") << "upload" << QByteArray("POST /me/photos") << QList<Reply> { FakeGraph::error(4) }
                                  << '\0' << "canceled idle checking requesting retrying requesting finished";
    QTest::newRow("login") << "albums" << QByteArray("GET /me/albums") << QList<Reply> { FakeGraph::error(190) } << 'y'
                           << "canceled idle checking requesting in-login requesting finished";
    QTest::newRow("login-closed") << "albums" << QByteArray("GET /me/albums") << QList<Reply> { FakeGraph::error(190) }
                                  << 'c' << "canceled idle checking requesting in-login canceled";
}

void tst_Tasks::phaseOrder()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, request);
    QFETCH(QList<Reply>, replies);
    QFETCH(char, login);
    QFETCH(QString, phases);
    if (!request.isEmpty())
        m_server->script(request, replies);
    if (login)
        m_login->answer = login;
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask(kind, probe));
    QStringList seen;
    task->watchPhases([&seen](Network::ReplyTask::Phase phase) {
        static const char *names[] = { "idle", "checking", "requesting", "retrying", "in-login", "finished", "canceled" };
        seen << names[int(phase)];
    });
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 10000);
    QCOMPARE(seen.join(' '), phases);
}

// The permission check's retries run on a clock of their own: the upload
// after them has its whole time for its answer.
void tst_Tasks::checkRetriesLeaveTheUploadItsTime()
{
    m_server->script("GET /me/permissions", { FakeGraph::error(2) });
    m_server->script("POST /me/photos", { Reply { 200, {}, Fault::None, 600 } }); // the answer takes 20 ticks
    TaskProbe probe;
    UploadTask task(m_graph.get(), m_login.get(), photo(), "", "", probe.onDone(), probe.onError(),
                    Network::ReplyTask::RetryPolicy { 30, 10, 5000, 5000 });
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 10000);
    QCOMPARE(probe.errors, QStringList());
    QCOMPARE(m_server->photos(), 1);
}

// What became of a photo comes as data; an album id that could lead the
// request elsewhere is refused before anything is sent.
void tst_Tasks::publishedAsData_data()
{
    QTest::addColumn<QString>("albumId");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<int>("outcome"); // Publishing::Result::Outcome
    QTest::addColumn<int>("kind");    // TaskFailure::Kind, when not published
    QTest::addColumn<int>("requests");
    using Outcome = Publishing::Result::Outcome;
    using Kind = TaskFailure::Kind;
    QTest::newRow("published") << "12" << QList<Reply>() << int(Outcome::Published) << 0 << 1;
    QTest::newRow("refused") << "12" << QList<Reply> { FakeGraph::error(100) } << int(Outcome::NotPublished)
                             << int(Kind::ServiceError) << 1;
    QTest::newRow("unknown-error") << "12" << QList<Reply> { FakeGraph::error(1) } << int(Outcome::MayHaveBeenPublished)
                                   << int(Kind::ServiceError) << 1;
    QTest::newRow("id-leading-elsewhere") << "../me" << QList<Reply>() << int(Outcome::NotPublished) << int(Kind::BadAlbumId) << 0;
    // A rate limit, any of the service's four: the host holds its batch and
    // sends it again; the task does not retry on its own.
    QTest::newRow("rate-limit-4") << "12" << QList<Reply> { FakeGraph::error(4) } << int(Outcome::NotPublished)
                                  << int(Kind::RateLimited) << 1;
    QTest::newRow("rate-limit-613") << "12" << QList<Reply> { FakeGraph::error(613) } << int(Outcome::NotPublished)
                                    << int(Kind::RateLimited) << 1;
    QTest::newRow("option-not-known") << "12:place" << QList<Reply>() << int(Outcome::NotPublished)
                                      << int(Kind::UnsupportedOption) << 0;
}

void tst_Tasks::publishedAsData()
{
    QFETCH(QString, albumId);
    QFETCH(QList<Reply>, replies);
    QFETCH(int, outcome);
    QFETCH(int, kind);
    QFETCH(int, requests);
    m_server->script("POST /me/photos", replies); // any album's
    QList<Publishing::Result> results;
    QVariantMap options; // "id:option"
    if (albumId.contains(':'))
        options.insert(albumId.section(':', 1), "SELF");
    UploadTask task(m_graph.get(), m_login.get(), { photo(), albumId.section(':', 0, 0), "m", options },
                    [&results](const Publishing::Result &result) { results << result; }, fast);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 10000);
    QCOMPARE(int(results.first().outcome), outcome);
    if (outcome == int(Publishing::Result::Outcome::Published))
        QVERIFY(!results.first().photoId.isEmpty() && results.first().albumId == albumId);
    else
        QCOMPARE(int(results.first().failure.kind), kind);
    QCOMPARE(m_server->requests("/12/photos"), requests);
}

// Who may see the photo and when it was taken go as the service's fields;
// a value it would not take sends nothing.
void tst_Tasks::photoForm_data()
{
    QTest::addColumn<QVariantMap>("options");
    QTest::addColumn<QMap<QByteArray, QByteArray>>("fields"); // besides the message and the photo; empty: refused
    using Fields = QMap<QByteArray, QByteArray>;
    QTest::newRow("none") << QVariantMap() << Fields();
    QTest::newRow("only-me-and-taken") << QVariantMap { { "audience", "only-me" }, { "takenAt", "2026-07-14T09:30:00+02:00" } }
                                       << Fields { { "privacy", R"({"value":"SELF"})" },
                                                   { "backdated_time", "2026-07-14T09:30:00+02:00" } };
    QTest::newRow("friends-of-friends") << QVariantMap { { "audience", "friends-of-friends" } }
                                        << Fields { { "privacy", R"({"value":"FRIENDS_OF_FRIENDS"})" } };
    QTest::newRow("everyone-taken-no-offset") << QVariantMap { { "audience", "everyone" }, { "takenAt", "2026-07-14T09:30:00" } }
                                              << Fields { { "privacy", R"({"value":"EVERYONE"})" },
                                                          { "backdated_time", "2026-07-14T09:30:00" } };
    QTest::newRow("friends") << QVariantMap { { "audience", "friends" } } << Fields { { "privacy", R"({"value":"ALL_FRIENDS"})" } };
    QTest::newRow("audience-unknown") << QVariantMap { { "audience", "SELF" } } << Fields { { "", "" } };
    QTest::newRow("time-impossible") << QVariantMap { { "takenAt", "2026-13-45T25:00:00" } } << Fields { { "", "" } };
    QTest::newRow("time-with-a-tail") << QVariantMap { { "takenAt", "2026-07-14T09:30:00+02:00&privacy=x" } }
                                      << Fields { { "", "" } };
}

void tst_Tasks::photoForm()
{
    QFETCH(QVariantMap, options);
    QFETCH(FakeGraph::Fields, fields);
    QList<Publishing::Result> results;
    UploadTask task(m_graph.get(), m_login.get(), { photo(), "12", "Ribeira at dusk", options },
                    [&results](const Publishing::Result &result) { results << result; }, fast);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 10000);
    if (fields.contains("")) {
        QCOMPARE(int(results.first().failure.kind), int(TaskFailure::Kind::BadValue));
        QCOMPARE(m_server->requests("/12/photos"), 0);
        return;
    }
    QCOMPARE(int(results.first().outcome), int(Publishing::Result::Outcome::Published));
    FakeGraph::Fields sent = m_server->fields("/12/photos");
    QCOMPARE(sent.take("message"), QByteArray("Ribeira at dusk"));
    QVERIFY(sent.take("source").startsWith("\x89PNG"));
    QCOMPARE(sent, fields);
}

void tst_Tasks::albumCreated_data()
{
    QTest::addColumn<Publishing::NewAlbum>("album");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<QString>("created"); // its id; "kind:N" a failure of that kind, "?" with maybeActedOn
    using Kind = TaskFailure::Kind;
    const auto failed = [](Kind kind, bool mayExist = false) {
        return QStringLiteral("kind:%1%2").arg(int(kind)).arg(mayExist ? "?" : "");
    };
    QTest::newRow("only-me") << Publishing::NewAlbum { "Porto, März", "Three days by the river", "only-me" }
                             << QList<Reply>() << "21";
    QTest::newRow("the-services-audience") << Publishing::NewAlbum { "Porto", "", "" } << QList<Reply>() << "21";
    QTest::newRow("name-blank") << Publishing::NewAlbum { "  ", "", "" } << QList<Reply>() << failed(Kind::BadValue);
    QTest::newRow("name-too-long") << Publishing::NewAlbum { QString(101, 'a'), "", "" } << QList<Reply>()
                                   << failed(Kind::BadValue);
    QTest::newRow("audience-unknown") << Publishing::NewAlbum { "Porto", "", "public" } << QList<Reply>()
                                      << failed(Kind::BadValue);
    QTest::newRow("refused") << Publishing::NewAlbum { "Porto", "", "" } << QList<Reply> { FakeGraph::error(100) }
                             << failed(Kind::ServiceError);
    QTest::newRow("portal-page") << Publishing::NewAlbum { "Porto", "", "" } << QList<Reply> { Reply { 200, "{}" } }
                                 << failed(Kind::HttpFailure, true);
    QTest::newRow("no-answer") << Publishing::NewAlbum { "Porto", "", "" }
                               << QList<Reply> { Reply { 200, "", FakeGraph::Fault::Drop } } << failed(Kind::NoAnswer, true);
}

// An album is asked for once, with the service's fields; its id comes back.
void tst_Tasks::albumCreated()
{
    QFETCH(Publishing::NewAlbum, album);
    QFETCH(QList<Reply>, replies);
    QFETCH(QString, created);
    m_server->script("POST /me/albums", replies);
    QList<Publishing::Album> albums;
    QList<TaskFailure> failures;
    CreateAlbumTask task(m_graph.get(), m_login.get(), album, [&albums](const Publishing::Album &a) { albums << a; },
                         [&failures](const TaskFailure &failure) { failures << failure; }, fast);
    task.submit();
    QTRY_COMPARE_WITH_TIMEOUT(albums.size() + failures.size(), 1, 10000);
    if (created.startsWith("kind:")) {
        QCOMPARE(failures.size(), 1);
        QCOMPARE(QString("kind:%1%2").arg(int(failures.first().kind)).arg(failures.first().maybeActedOn ? "?" : ""), created);
        QCOMPARE(m_server->requests("/me/albums"), failures.first().sentNothing() ? 0 : 1);
        return;
    }
    QCOMPARE(albums.size(), 1);
    QCOMPARE(albums.first().id, created);
    QCOMPARE(albums.first().name, album.name);
    FakeGraph::Fields expected { { "name", album.name.toUtf8() }, { "message", album.description.toUtf8() } };
    if (!album.audience.isEmpty())
        expected.insert("privacy", R"({"value":"SELF"})");
    QCOMPARE(m_server->fields("/me/albums"), expected);
}

// The service may quote the token in words of its own, or inside an address
// encoded twice: the host sees neither.
void tst_Tasks::tokenNeverQuoted()
{
    const QByteArray token = "EAASsecret42";
    SecretWatch::watch(token);
    PreferencesFile::storeToken(QString::fromUtf8(token));
    m_server->script("GET /me", { FakeGraph::error(100, "", "Token " + token + " rejected at /x?y=access_token%253D" + token + "%2526z") });
    TaskProbe probe;
    std::unique_ptr<Network::ReplyTask> task(newTask("name", probe));
    task->submit();
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 10000);
    QCOMPARE(probe.errors, QStringList { "Facebook API error: Token *** rejected at /x?y=access_token%253D***%2526z" });
}

void tst_Tasks::signedRequests_data()
{
    QTest::addColumn<QVariant>("token");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("post");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("no-token") << QVariant() << "/me" << false << QByteArray("/me?access_token");
    // Read without blocking, or not at all.
    QTest::newRow("preferences-a-fifo") << QVariant("FIFO") << "/me" << false << QByteArray("/me?access_token");
    QTest::newRow("own-query-kept") << QVariant("t") << "/me/picture?redirect=false&width=4" << false
                                    << QByteArray("/me/picture?redirect=false&width=4&access_token=t");
    QTest::newRow("post-album") << QVariant("t") << "/1234/photos" << true << QByteArray("/1234/photos?access_token=t");
    QTest::newRow("post-question-mark-is-path") << QVariant("t") << "/a?b/photos" << true
                                                << QByteArray("/a%3Fb/photos?access_token=t");
}

void tst_Tasks::signedRequests()
{
    QFETCH(QVariant, token);
    QFETCH(QString, path);
    QFETCH(bool, post);
    QFETCH(QByteArray, target);
    {
        QSettings settings(PreferencesFile::path(), QSettings::NativeFormat);
        if (token.isValid())
            settings.setValue(PreferencesFile::tokenKey(), token);
        else
            settings.remove(PreferencesFile::tokenKey());
    }
    const auto removeFifo = qScopeGuard([&token] {
        if (token == "FIFO")
            QFile::remove(PreferencesFile::path());
    });
    if (token == "FIFO") {
        QFile::remove(PreferencesFile::path());
        QCOMPARE(::mkfifo(QFile::encodeName(PreferencesFile::path()).constData(), 0600), 0);
    }
    QHttpMultiPart body(QHttpMultiPart::FormDataType);
    std::unique_ptr<QNetworkReply> reply(post ? m_graph->post(path, &body) : m_graph->get(path));
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(m_server->targets(), QList<QByteArray> { target });
}

// The sandbox build keeps its token under its own key: the real service's
// token is never sent to the stand-in.
void tst_Tasks::realServiceTokenStaysApart()
{
    qputenv("ORVELLE_SANDBOX_ORIGIN", m_server->origin());
    QSettings settings(PreferencesFile::path(), QSettings::NativeFormat);
    settings.setValue("fbtoken", "token-of-the-real-service");
    FacebookPlugin plugin;
    plugin.setManager(m_manager.get());
    std::unique_ptr<QNetworkReply> reply(plugin.submitGetRequest("/me"));
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(m_server->targets(), QList<QByteArray> { "/me?access_token=token-old" });
}

void tst_Tasks::uploadWhileAlbumsLogIn(Network::ReplyTask &albums, Network::ReplyTask &upload)
{
    m_login->answer = 0;
    albums.submit();
    QTRY_VERIFY(m_login->isAuthorising());
    upload.submit();
    QTRY_VERIFY(static_cast<CountingUpload &>(upload).ticks >= 1); // told 'b'
}

ORVELLE_TEST_MAIN(tst_Tasks)
#include "tst_tasks.moc"
