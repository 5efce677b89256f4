#include "plugin/PluginHost.h"
#include "PluginPaths.h"
#include "PreferencesFile.h"
#include "PrivateHome.h"
#include "ProcessTable.h"
#include "SamplePhotos.h"
#include "SandboxProcess.h"
#include "TaskProbe.h"
#include "TestMain.h"
#include "batch/UploadQueue.h"
#include "batch/UploadRecord.h"
#include "plugin/WatchedNetworkManager.h"

#include "FacebookPluginQt5/IServiceAccount.h"
#include "network/CookieJar.h"
#include "webview/LoginProfile.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QMainWindow>
#include <QMetaMethod>
#include <QWindow>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

using Build = PluginPaths::Build;
Q_DECLARE_METATYPE(Build)

namespace {

QWidget *visibleBrowserWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->inherits("BrowserWindow"))
            return widget;
    }
    return nullptr;
}

// Records where requests would go and sends them nowhere.
struct RecordingManager : QNetworkAccessManager
{
    QList<QUrl> urls;
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *body) override
    {
        urls << request.url();
        return QNetworkAccessManager::createRequest(op, QNetworkRequest(QUrl("http://127.0.0.1:1/")), body);
    }
};

int webEngineProcesses()
{
    return ProcessTable::children(QCoreApplication::applicationPid(), "QtWebEngine").size();
}

void addBuildRows()
{
    QTest::addColumn<Build>("build");
    QTest::newRow("production") << Build::Production;
    QTest::newRow("sandbox") << Build::Sandbox;
}

} // namespace

// The built libraries loaded the way Orvelle loads them, seen only through
// what a host can see, and every task and dialog through the loaded
// plug-in's interface against the sandbox, logins in the real browser
// window. On Qt 5 the host forgets OpenGL sharing, which must not matter.
class tst_PluginHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void loadingStartsNoWebEngine();
    void metaData_data() { addBuildRows(); }
    void metaData();
    void onlyEntryPointsExported_data() { addBuildRows(); }
    void onlyEntryPointsExported();
    void castAndMetaObject();
    void realServiceIgnoresSandboxOrigin();
    void pictures_data();
    void pictures();
    void uploads_data();
    void uploads();
    void batchKeepsFewPhotosPrepared_data();
    void batchKeepsFewPhotosPrepared();
    void eachRequestIsItsPhotos();
    void rateLimitHoldsTheBatch_data();
    void rateLimitHoldsTheBatch();
    void photoEditedWhileWaiting();
    void recordPlaces_data();
    void recordPlaces();
    void logOutForgetsTheLogin();
    void foreignCookieJarIsLeftAlone();
    void hostQuitsDuringLogin();

private:
    QString makeFile(const QString &name, const QByteArray &bytes);
    QJsonArray photos() { return m_sandbox.get("/__sandbox/photos").json().array(); }
    IPhotoUpload *plugin() { return m_host.plugin(); }
    QString logOut();
    int loginPages() { return m_sandbox.counters().value("login_pages").toInt(); }

    // Started before the plug-in is loaded: the one instance a process
    // holds reads the sandbox's address when it is made.
    SandboxProcess m_sandbox { { "--auto-approve" } };
    PluginHost m_host { PluginPaths::library(Build::Sandbox) };
    QMainWindow m_mainWindow;
    QTemporaryDir m_files;
};

void tst_PluginHost::initTestCase()
{
    QVERIFY(m_sandbox.start());
    QString error;
    QVERIFY2(m_host.load(&error), qPrintable(error));
    m_host.setMainWindow(&m_mainWindow);
    m_mainWindow.show();
}

void tst_PluginHost::init()
{
    QCOMPARE(m_sandbox.post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox.setSwitch("auto_approve=1&upload_answer_delay_ms=0"));
}

QString tst_PluginHost::makeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(bytes);
    return path;
}

void tst_PluginHost::loadingStartsNoWebEngine()
{
    QCOMPARE(plugin()->name(), QStringLiteral("Facebook"));
    QCOMPARE(plugin()->supportedMimes(), QStringList({ "image/jpeg", "image/png", "image/gif" }));
    QCOMPARE(plugin()->supportedMaxSize(), QSize(2048, 2048));
    QCOMPARE(logOut(), QString()); // nothing stored: no engine started to remove it
    QCOMPARE(webEngineProcesses(), 0);
}

void tst_PluginHost::metaData()
{
    QFETCH(Build, build);
    const QJsonObject meta = QPluginLoader(PluginPaths::library(build)).metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("com.velotri.Orvelle.IPhotoUpload"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("FacebookPlugin"));
    QVERIFY(meta.value("MetaData").toObject().isEmpty());
}

void tst_PluginHost::onlyEntryPointsExported()
{
    QFETCH(Build, build);
    QLibrary library(PluginPaths::library(build));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    auto instance = reinterpret_cast<QObject *(*)()>(library.resolve("qt_plugin_instance"));
    QVERIFY(instance);
#if QT_VERSION_MAJOR < 6
    QVERIFY(library.resolve("qt_plugin_query_metadata"));
#else
    QVERIFY(library.resolve("qt_plugin_query_metadata_v2")); // Qt 6's binary metadata
#endif
    QCOMPARE(instance(), instance()); // the same object while it lives
    QVERIFY(!library.resolve("_ZN14FacebookPlugin16submitGetRequestE7QString"));
    QVERIFY(!library.resolve("_ZN7Network9ReplyTask6submitEv"));
}

void tst_PluginHost::castAndMetaObject()
{
    QObject *object = QPluginLoader(PluginPaths::library(Build::Sandbox)).instance();
    QCOMPARE(object->qt_metacast("IPhotoUpload"), static_cast<void *>(plugin()));
    QCOMPARE(object->qt_metacast("com.velotri.Orvelle.IPhotoUpload/1.0"), static_cast<void *>(plugin()));
    const QMetaObject *meta = object->metaObject();
    QCOMPARE(meta->className(), "FacebookPlugin");
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 4);
    const QList<QPair<QByteArray, QMetaMethod::MethodType>> expected = {
        { "authFinished(char)", QMetaMethod::Signal },
        { "shouldFinishAuth(QUrl)", QMetaMethod::Slot },
        { "shouldFinishTellFriends(QUrl)", QMetaMethod::Slot },
        { "onLoadPageFinished(bool)", QMetaMethod::Slot },
    };
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i].first);
        QCOMPARE(method.methodType(), expected[i].second);
    }
    QCOMPARE(meta->method(meta->methodOffset() + 1).access(), QMetaMethod::Private);
}

// The variable that points the sandbox build elsewhere means nothing to the
// build for the real service.
void tst_PluginHost::realServiceIgnoresSandboxOrigin()
{
    QPluginLoader loader(PluginPaths::library(Build::Production));
    auto *real = qobject_cast<IPhotoUpload *>(loader.instance());
    QVERIFY(real);
    RecordingManager manager;
    real->setManager(&manager);
    TaskProbe probe;
    std::unique_ptr<ITask> task(real->newUserNameTask(probe.onValue<QString>(), probe.onError()));
    QTRY_COMPARE(manager.urls.size(), 1);
    QVERIFY(!manager.urls.first().toString().startsWith(QString::fromUtf8(m_sandbox.origin())));
    QCOMPARE(manager.urls.first().scheme(), QStringLiteral("https"));
}

void tst_PluginHost::pictures_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<QSize>("expected"); // invalid: a null image and a message
    QTest::newRow("16@1") << QSize(16, 16) << 1.0 << QSize(16, 16);
    QTest::newRow("16@2") << QSize(16, 16) << 2.0 << QSize(32, 32);
    QTest::newRow("24@1.5") << QSize(24, 24) << 1.5 << QSize(48, 48);
    QTest::newRow("24@nan") << QSize(24, 24) << qQNaN() << QSize(24, 24);
    QTest::newRow("32") << QSize(32, 32) << 1.0 << QSize();
    QTest::newRow("24x16") << QSize(24, 16) << 2.0 << QSize();
}

void tst_PluginHost::pictures()
{
    QFETCH(QSize, size);
    QFETCH(qreal, scale);
    QFETCH(QSize, expected);
    const QString message = QStringLiteral("Unimplemented picture size QSize(%1, %2)").arg(size.width()).arg(size.height());
    if (!expected.isValid())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    const QImage image = plugin()->picture(size, scale);
    QCOMPARE(image.isNull(), !expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(image.size(), expected);
        // A real drawing, not a blank: the centre is opaque, a corner clear.
        QCOMPARE(qAlpha(image.pixel(expected.width() / 2, expected.height() / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        const IPhotoUpload::Icon icon = plugin()->icon(size);
        QCOMPARE(icon[1].size(), size * 2);
    }
}

void tst_PluginHost::uploads_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + "png";
    QTest::newRow("default-album") << "a.png" << png;
    QTest::newRow("capital-JPG") << "c.JPG" << QByteArray("\xff\xd8\xff\xe0jpeg");
    QTest::newRow("quote-in-name") << "e\"f.png" << png;
}

void tst_PluginHost::uploads()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, bytes);
    TaskProbe probe;
    std::unique_ptr<ITask> task(
        plugin()->newUploadTask(makeFile(fileName, bytes), QString(), "hello", probe.onDone(), probe.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 30000);
    QCOMPARE(probe.errors, QStringList());
    QCOMPARE(photos().size(), 1);
    const QJsonObject stored = photos().at(0).toObject();
    QCOMPARE(stored.value("album").toString(), QStringLiteral("Orvelle Photos"));
    QCOMPARE(stored.value("message").toString(), QStringLiteral("hello"));
    QCOMPARE(stored.value("file_name").toString(), QString(fileName).replace('"', '_')); // no directories
    QCOMPARE(stored.value("size").toInt(), bytes.size());
}

void tst_PluginHost::batchKeepsFewPhotosPrepared_data()
{
    QTest::addColumn<int>("parallel");
    QTest::newRow("one-at-a-time") << 1;
    QTest::newRow("three-at-once") << 3;
}

// Uploads that answer slowly hold the batch back: as many run at once as
// asked, photos are prepared only as far ahead as uploads run, and every
// temporary copy goes with its photo.
void tst_PluginHost::batchKeepsFewPhotosPrepared()
{
    QFETCH(int, parallel);
    QVERIFY(m_sandbox.setSwitch("upload_answer_delay_ms=400"));
    QStringList files;
    for (int i = 0; i < 6; ++i) {
        files << m_files.filePath(QStringLiteral("scan%1.tiff").arg(i)); // sent as JPEG copies
        QVERIFY(SamplePhotos::writeImage(files.last(), SamplePhotos::twoColours({ 64, 48 }), "tiff"));
    }
    QTemporaryDir temp;
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    const auto copies = [&temp] { return QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(); };
    UploadQueue queue(&m_host, parallel);
    int held = 0, mostHeld = 0, mostCopies = 0, uploading = 0, mostUploading = 0;
    connect(m_host.manager(), &WatchedNetworkManager::replyStarted, &queue, [&](QNetworkReply *reply) {
        if (reply->operation() != QNetworkAccessManager::PostOperation)
            return;
        mostUploading = qMax(mostUploading, ++uploading);
        connect(reply, &QNetworkReply::finished, &queue, [&] { --uploading; });
    });
    connect(&queue, &UploadQueue::photoPrepared, this, [&] {
        mostHeld = qMax(mostHeld, ++held);
        mostCopies = qMax(mostCopies, copies());
    });
    connect(&queue, &UploadQueue::photoFinished, this, [&] { --held; });
    QSignalSpy finished(&queue, &UploadQueue::finished);
    queue.start(files, {}, QString());
    QVERIFY(finished.wait(30000));
    qunsetenv("TMPDIR");
    QCOMPARE(queue.count(UploadQueue::Outcome::Uploaded), queue.results().size());
    QCOMPARE(photos().size(), 6);
    QCOMPARE(mostUploading, parallel);
    // Those uploading and as many waiting, ready.
    QVERIFY2(mostHeld <= 2 * parallel && mostCopies <= 2 * parallel,
             qPrintable(QStringLiteral("%1 held, %2 copies").arg(mostHeld).arg(mostCopies)));
    QTRY_COMPARE(copies(), 0);
}

// Each request is tied to its photo by the task that sent it: photos start
// together, each one's progress is its own, and a photo gone before its
// request left is not published (the record then sends it next time).
void tst_PluginHost::eachRequestIsItsPhotos()
{
    QVERIFY(m_sandbox.setSwitch("upload_answer_delay_ms=300"));
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        files << m_files.filePath(QStringLiteral("start%1.jpg").arg(i)); // sent as they are
        QVERIFY(SamplePhotos::writeJpeg(files.last(), SamplePhotos::twoColours({ 300 * (i + 1), 200 * (i + 1) })));
    }
    UploadQueue queue(&m_host, 3);
    QHash<int, qint64> totals;
    connect(&queue, &UploadQueue::photoStarted, this, [&files](int index) {
        if (index == 0)
            QFile::remove(files.first());
    });
    connect(&queue, &UploadQueue::progress, this, [&totals](int index, qint64, qint64 total) { totals[index] = total; });
    QSignalSpy finished(&queue, &UploadQueue::finished);
    queue.start(files, {}, QString());
    QVERIFY(finished.wait(30000));
    QCOMPARE(queue.results().at(0).outcome, UploadQueue::Outcome::Failed);
    QVERIFY2(queue.results().at(0).detail.startsWith("Can't find"), qPrintable(queue.results().at(0).detail));
    QVERIFY(!totals.contains(0));
    for (const int i : { 1, 2 }) {
        QCOMPARE(queue.results().at(i).outcome, UploadQueue::Outcome::Uploaded);
        const qint64 size = QFileInfo(files.at(i)).size(); // and the form's few lines
        QVERIFY2(totals.value(i) > size && totals.value(i) < size + 1024, qPrintable(QString::number(totals.value(i))));
    }
}

void tst_PluginHost::rateLimitHoldsTheBatch_data()
{
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("code");
    QTest::newRow("lifts") << 600 << 4; // within the first wait
    QTest::newRow("stays") << 600000 << 613;
}

// The service limits the rate: the batch stops sending, says so, tries one
// photo after each wait, and goes on when the limit lifts; when it never
// does, the photos end failed with the service's words.
void tst_PluginHost::rateLimitHoldsTheBatch()
{
    QFETCH(int, limitMs);
    QFETCH(int, code);
    QStringList files;
    for (int i = 0; i < 5; ++i)
        QVERIFY(SamplePhotos::writeImage((files << m_files.filePath(QStringLiteral("limited%1.png").arg(i))).last(),
                                         SamplePhotos::twoColours({ 30 + i, 20 }), "png"));
    QCOMPARE(m_sandbox.post(QStringLiteral("/__sandbox/rate-limit?ms=%1&code=%2").arg(limitMs).arg(code).toUtf8()).status, 200);
    constexpr int waits = 2;
    UploadQueue queue(&m_host, 3, nullptr, 1000, waits);
    int posts = 0;
    connect(m_host.manager(), &WatchedNetworkManager::replyStarted, &queue, [&posts](QNetworkReply *reply) {
        posts += reply->operation() == QNetworkAccessManager::PostOperation;
    });
    QSignalSpy waited(&queue, &UploadQueue::rateLimited);
    QSignalSpy finished(&queue, &UploadQueue::finished);
    queue.start(files, {}, QString());
    QVERIFY(finished.wait(60000));
    QVERIFY(!waited.isEmpty());
    QCOMPARE(waited.first().at(0).toInt(), 1); // seconds
    if (limitMs < 1000) {
        // Those out when the limit came, one after the wait, then the rest.
        QCOMPARE(waited.size(), 1);
        QCOMPARE(posts, 3 + files.size());
        QCOMPARE(queue.count(UploadQueue::Outcome::Uploaded), files.size());
        QCOMPARE(photos().size(), files.size());
        return;
    }
    QCOMPARE(waited.size(), waits);
    QCOMPARE(posts, 3 + waits);
    QCOMPARE(queue.count(UploadQueue::Outcome::Failed), files.size());
    QCOMPARE(queue.results().last().detail,
             QStringLiteral("rate limited by the service: (#613) Calls to this api have exceeded the rate limit."));
    QCOMPARE(photos().size(), 0);
}

// A photo edited after its digest was taken is not sent: the record would
// know it by content it never had.
void tst_PluginHost::photoEditedWhileWaiting()
{
    const QStringList files { m_files.filePath("steady.png"), m_files.filePath("edited.png") };
    for (const QString &file : files)
        QVERIFY(SamplePhotos::writeImage(file, SamplePhotos::twoColours({ 40, 30 }, file.contains("edit") ? Qt::green : Qt::red), "png"));
    QTemporaryDir home;
    UploadRecord record(home.filePath("sent.sqlite"));
    QString error;
    QVERIFY2(record.open(&error), qPrintable(error));
    UploadQueue queue(&m_host, 1);
    connect(&queue, &UploadQueue::photoPrepared, this, [&files](int index) {
        if (index == 1)
            QVERIFY(SamplePhotos::writeImage(files.at(1), SamplePhotos::twoColours({ 41, 30 }), "png"));
    });
    QSignalSpy finished(&queue, &UploadQueue::finished);
    queue.start(files, {}, UploadQueue::Options(), { &record, { "http://service", "1" }, false });
    QVERIFY(finished.wait(30000));
    QCOMPARE(queue.results().at(0).outcome, UploadQueue::Outcome::Uploaded);
    QCOMPARE(queue.results().at(1).outcome, UploadQueue::Outcome::Failed);
    QCOMPARE(queue.results().at(1).detail, QStringLiteral("edited.png changed while the batch ran"));
    UploadRecord::Entries known;
    QVERIFY(record.entries({ "http://service", "1" }, {}, true, &known, &error));
    QCOMPARE(std::count_if(known.cbegin(), known.cend(),
                           [](const UploadRecord::Entry &entry) { return entry.state != UploadRecord::State::Failed; }),
             1);
    QCOMPARE(photos().size(), 1);
}

void tst_PluginHost::recordPlaces_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("error");
    QTest::newRow("folder-through-a-link") << "linked-home" << QString();
    QTest::newRow("link-at-the-file") << "linked-file" << "is a symbolic link";
    QTest::newRow("pipe-at-the-lock") << "fifo-lock" << "sent.sqlite.lock is not a regular file";
    QTest::newRow("another-users-lock") << "foreign-lock" << "sent.sqlite.lock belongs to another user";
}

// The record opens through linked folders (a home on another disk), never
// through a link or a pipe where its own files belong; each service keeps
// its own rows.
void tst_PluginHost::recordPlaces()
{
    QFETCH(QString, layout);
    QFETCH(QString, error);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("disk/data") && QFile::link(root.filePath("disk"), root.filePath("home")));
    const QString path = root.filePath("home/data/sent.sqlite");
    if (layout == "linked-file")
        QVERIFY(QFile::link(root.filePath("elsewhere.sqlite"), path));
    if (layout == "fifo-lock")
        QCOMPARE(::mkfifo(QFile::encodeName(path + ".lock").constData(), 0600), 0);
    if (layout == "foreign-lock")
        QVERIFY(QFile(path + ".lock").open(QIODevice::WriteOnly) && ::chown(QFile::encodeName(path + ".lock").constData(), 65534, 65534) == 0);
    QString said;
    UploadRecord record(path);
    const bool ready = record.open(&said) && record.lock(&said);
    QVERIFY2(ready == error.isEmpty() && said.contains(error), qPrintable(said));
    if (!ready)
        return;
    const UploadRecord::Account irina { "https://graph.example", "7" };
    record.note(irina, "Trips", "aa", { UploadRecord::State::Uploaded, QDateTime::currentDateTimeUtc(), "/a.png" });
    UploadRecord::Entries known;
    QVERIFY(record.flush(&said) && record.entries(irina, { "Trips", "Trips" }, true, &known, &said));
    QCOMPARE(known.keys(), QList<QByteArray> { "aa" });
    QVERIFY(record.entries({ "http://127.0.0.1:8123", "7" }, { "Trips", "Trips" }, true, &known, &said) && known.isEmpty());

    // Rows an earlier version keyed by the album's name count for every
    // album of that name (not one made just now) until one takes them; then
    // they are its alone.
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, "INSERT INTO photos VALUES ('https://graph.example', '7', 'Porto', 'bb', 2, 1765200000, '/b.png')",
                          nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const auto knownAt = [&](const char *id, bool withOldRows) {
        return record.entries(irina, { id, "Porto" }, withOldRows, &known, &said) ? known.keys() : QList<QByteArray> { "?" };
    };
    QCOMPARE(knownAt("31", false), QList<QByteArray>());
    QCOMPARE(knownAt("31", true), QList<QByteArray> { "bb" });
    QVERIFY(record.adoptAlbum(irina, { "32", "Porto" }, &said));
    QCOMPARE(knownAt("32", true), QList<QByteArray> { "bb" });
    QCOMPARE(knownAt("33", true), QList<QByteArray>());
}

// What done said; something else when it was not called once, later.
QString tst_PluginHost::logOut()
{
    auto *account = qobject_cast<IServiceAccount *>(QPluginLoader(PluginPaths::library(Build::Sandbox)).instance());
    if (!account)
        return "(no IServiceAccount)";
    QStringList said;
    account->logOut([&said](const QString &left) { said << left; });
    if (!said.isEmpty())
        return "(done inside logOut)";
    if (!QTest::qWaitFor([&said] { return !said.isEmpty(); }, 30000))
        return "(done not called)";
    return said.size() == 1 ? said.first() : QStringLiteral("(done %1 times)").arg(said.size());
}

// Logged in through the browser (auto-approve starts a session), then out:
// the token, the service's cookies in the host's jar and in the browser go,
// so the next login shows the login form; a logout during that login ends
// it canceled. Where another process has the profile open the browser's
// store is left alone and said so, and the other steps still run.
void tst_PluginHost::logOutForgetsTheLogin()
{
    QVERIFY(m_sandbox.post("/__sandbox/expire-tokens").status == 200);
    TaskProbe probe;
    std::unique_ptr<ITask> task(plugin()->newUserNameTask(probe.onValue<QString>(), probe.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(probe.successes, 1, 30000);
    const QUrl service(QString::fromUtf8(m_sandbox.origin()) + '/'), other("https://example.org/");
    const auto plantCookies = [&] {
        for (const QUrl &site : { service, other }) {
            QNetworkCookie cookie("prefs", "1");
            cookie.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(30));
            m_host.manager()->cookieJar()->setCookiesFromUrl({ cookie }, site);
        }
        QVERIFY(qobject_cast<Network::CookieJar *>(m_host.manager()->cookieJar())->store());
    };
    const auto serviceCookiesGone = [&] {
        return m_host.manager()->cookieJar()->cookiesForUrl(service).isEmpty()
            && m_host.manager()->cookieJar()->cookiesForUrl(other).size() == 1
            && Network::CookieJar().cookiesForUrl(service).isEmpty();
    };
    plantCookies();
    QVERIFY(QFile::setPermissions(PreferencesFile::path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QCOMPARE(logOut(), QString());
    QVERIFY(PreferencesFile::tokenOnDisk().isEmpty());
    QCOMPARE(QFileInfo(PreferencesFile::path()).permissions() & QFile::ReadOther, QFile::Permissions());
    QVERIFY(serviceCookiesGone());

    QVERIFY(m_sandbox.setSwitch("auto_approve=0"));
    task.reset(plugin()->newUserNameTask(probe.onValue<QString>(), probe.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(loginPages(), 1, 30000);
    QCOMPARE(logOut(), QString());
    QCOMPARE(probe.errors, QStringList { "Authorisation canceled" });
    QVERIFY(!visibleBrowserWindow());

    // Another process: its shared lock on the profile's marker file.
    const int otherProcess = ::open(LoginProfile::inUseFile().constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(otherProcess >= 0 && ::flock(otherProcess, LOCK_SH) == 0);
    QVERIFY(QFile::remove(PreferencesFile::path()));
    QCOMPARE(::mkfifo(QFile::encodeName(PreferencesFile::path()).constData(), 0600), 0);
    plantCookies();
    const QString left = logOut();
    ::close(otherProcess);
    QVERIFY(QFile::remove(PreferencesFile::path()));
    QCOMPARE(left, "The token could not be removed: " + PreferencesFile::path() + " is not a regular file. "
                   "The web browser's login cookies could not be removed: another Orvelle window has them open.");
    QVERIFY(serviceCookiesGone());
}

// The plug-in stores the host's own copy of the jar when a dialog closes,
// and leaves a jar of another kind alone.
void tst_PluginHost::foreignCookieJarIsLeftAlone()
{
    m_host.manager()->setCookieJar(new QNetworkCookieJar);
    QFile::remove(Network::CookieJar::filePath());
    int called = 0;
    plugin()->tellFriends({}, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 30000);
    QVERIFY(!QFile::exists(Network::CookieJar::filePath()));
    m_host.manager()->setCookieJar(new Network::CookieJar);
}

// The stand-in host quits (after its screenshot) while the login window is
// still open: the process must end cleanly, the web engine torn down in order.
void tst_PluginHost::hostQuitsDuringLogin()
{
    QVERIFY(m_sandbox.setSwitch("auto_approve=0"));
    QTemporaryDir home;
    QProcess host;
    // No token there, so the name task logs in; and a web engine profile of
    // its own: two processes cannot share one.
    host.setProcessEnvironment(PrivateHome::environment(home.path()));
    host.setProcessChannelMode(QProcess::MergedChannels);
    const QString shot = home.filePath("shot.png");
    host.start(QString::fromLocal8Bit(qgetenv("ORVELLE_HOST_BIN")),
               { "--screenshot", shot, "--screenshot-delay", "3000", "whoami" });
    QVERIFY(host.waitForFinished(60000));
    const QByteArray output = host.readAll();
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0, output.constData());
    QVERIFY(QFile::exists(shot));
    QCOMPARE(m_sandbox.counters().value("requests").toObject().value("/dialog/oauth").toInt(), 1);
}

#if QT_VERSION_MAJOR < 6
ORVELLE_TEST_MAIN_WITHOUT_GL_SHARING(tst_PluginHost)
#else
// Qt 6's web engine, started from a plug-in in a host that forgot the
// attribute, crashes in its own set-up (QOpenGLContext::format() on a
// context it failed to make): Qt 6 hosts must set it.
ORVELLE_TEST_MAIN(tst_PluginHost)
#endif
#include "tst_pluginhost.moc"
