#include "HostHarness.h"
#include "SandboxProcess.h"
#include "TestMain.h"

#include "network/CookieJar.h"

#include <QDirIterator>

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
// of the plug-in by path, and one that forgot to set OpenGL sharing: the
// engine starts with the first dialog, not at load, and works either way.
class tst_HostFlow : public QObject
{
    Q_OBJECT

private slots:
    void loadingStartsNoWebEngine();
    void feedDialogThroughTheInterface();
    void foreignCookieJarIsLeftAlone();
};

void tst_HostFlow::loadingStartsNoWebEngine()
{
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    QCOMPARE(host.plugin()->name(), QStringLiteral("Facebook"));
    QCOMPARE(webEngineProcesses(), 0);
}

void tst_HostFlow::feedDialogThroughTheInterface()
{
    SandboxProcess sandbox({ "--auto-approve" }, qEnvironmentVariableIntValue("ORVELLE_SANDBOX_PORT"));
    QVERIFY(sandbox.start());
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    QFile::remove(Network::CookieJar::filePath());
    int called = 0;
    host.plugin()->tellFriends({ { "caption", "hello & bye" } }, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 30000);
    QCOMPARE(webEngineProcesses() > 0, true);
    // The plug-in stored the host's own copy of the jar.
    QTRY_VERIFY(QFile::exists(Network::CookieJar::filePath()));
    QCOMPARE(sandbox.get("/__sandbox/counters").json().object().value("posts").toInt(), 1);
}

void tst_HostFlow::foreignCookieJarIsLeftAlone()
{
    SandboxProcess sandbox({ "--auto-approve" }, qEnvironmentVariableIntValue("ORVELLE_SANDBOX_PORT"));
    QVERIFY(sandbox.start());
    HostHarness host;
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    host.manager()->setCookieJar(new QNetworkCookieJar);
    QFile::remove(Network::CookieJar::filePath());
    int called = 0;
    host.plugin()->tellFriends({}, [&called] { ++called; });
    QTRY_COMPARE_WITH_TIMEOUT(called, 1, 30000);
    QVERIFY(!QFile::exists(Network::CookieJar::filePath()));
}

ORVELLE_TEST_MAIN_WITHOUT_GL_SHARING(tst_HostFlow)
#include "tst_hostflow.moc"
