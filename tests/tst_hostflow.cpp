#include "HostHarness.h"
#include "SandboxProcess.h"
#include "TestMain.h"

#include "network/CookieJar.h"

#include <QDirIterator>
#include <QJsonObject>

namespace {

// Children of this process whose name says web engine.
int webEngineProcesses()
{
    int count = 0;
    QDirIterator proc("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    while (proc.hasNext()) {
        QFile stat(proc.next() + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        count += fields.value(1) == self && line.contains("QtWebEngine");
    }
    return count;
}

} // namespace

// A host built only against the interface header, loading the sandbox build
// of the plug-in by path, and (Qt 5) one that forgot to set OpenGL sharing:
// the engine starts with the first dialog, not at load, and works either way.
class tst_HostFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadingStartsNoWebEngine();
    void feedDialogThroughTheInterface();
    void foreignCookieJarIsLeftAlone();
    void hostQuitsDuringLogin();

private:
    // Started before the plug-in is loaded: the one instance a process
    // holds reads the sandbox's address when it is made.
    SandboxProcess m_sandbox { { "--auto-approve" } };
};

void tst_HostFlow::initTestCase()
{
    QVERIFY(m_sandbox.start());
}

void tst_HostFlow::loadingStartsNoWebEngine()
{
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    QCOMPARE(host.plugin()->name(), QStringLiteral("Facebook"));
    QCOMPARE(webEngineProcesses(), 0);
}

void tst_HostFlow::feedDialogThroughTheInterface()
{
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    QFile::remove(Network::CookieJar::filePath());
    int called = 0;
    host.plugin()->tellFriends({ { "caption", "hello & bye" } }, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 30000);
    QCOMPARE(webEngineProcesses() > 0, true);
    // The plug-in stored the host's own copy of the jar.
    QTRY_VERIFY(QFile::exists(Network::CookieJar::filePath()));
    QCOMPARE(m_sandbox.get("/__sandbox/counters").json().object().value("posts").toInt(), 1);
}

void tst_HostFlow::foreignCookieJarIsLeftAlone()
{
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    host.manager()->setCookieJar(new QNetworkCookieJar);
    QFile::remove(Network::CookieJar::filePath());
    int called = 0;
    host.plugin()->tellFriends({}, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 30000);
    QVERIFY(!QFile::exists(Network::CookieJar::filePath()));
}

// The stand-in host quits (after its screenshot) while the login window is
// still open: the process must end cleanly, the web engine torn down in order.
void tst_HostFlow::hostQuitsDuringLogin()
{
    QVERIFY(m_sandbox.setSwitch("auto_approve=0"));
    QTemporaryDir home;
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path()); // no token: the name task logs in
    // Its own web engine profile: two processes cannot share one.
    for (const char *name : { "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR" }) {
        const QString dir = home.filePath(QString::fromLatin1(name));
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.insert(name, dir);
    }
    host.setProcessEnvironment(environment);
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
ORVELLE_TEST_MAIN_WITHOUT_GL_SHARING(tst_HostFlow)
#else
// Qt 6's web engine, started from a plug-in in a host that forgot the
// attribute, crashes in its own set-up (QOpenGLContext::format() on a
// context it failed to make): Qt 6 hosts must set it.
ORVELLE_TEST_MAIN(tst_HostFlow)
#endif
#include "tst_hostflow.moc"
