#include "TestMain.h"

#include "SecretWatch.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace TestMain {

int run(int argc, char **argv, QObject *(*makeTest)(), GlSharing glSharing)
{
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/orvelle-test-XXXXXX"));
    if (!root.isValid())
        qFatal("cannot create a temporary folder");
    const auto makeDir = [&root](const char *name) {
        const QString path = root.filePath(QString::fromLatin1(name));
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path.toLocal8Bit();
    };
    qputenv("HOME", makeDir("home"));
    qputenv("XDG_DATA_HOME", makeDir("data"));
    qputenv("XDG_CACHE_HOME", makeDir("cache"));
    qputenv("XDG_CONFIG_HOME", makeDir("config"));
    qputenv("XDG_RUNTIME_DIR", makeDir("runtime"));

    if (glSharing == GlSharing::Set)
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    int status = 0;
    {
        QApplication app(argc, argv);
        app.setOrganizationName(QStringLiteral("Velotri"));
        app.setApplicationName(QStringLiteral("Orvelle"));
        std::unique_ptr<QObject> test(makeTest());
        SecretWatch::installWhenTestsRun();
        status = QTest::qExec(test.get(), argc, argv);
    }
    const QStringList leaks = SecretWatch::leaks();
    for (const QString &leak : leaks)
        fprintf(stderr, "FAIL: an access token was logged or reported: %s\n", qPrintable(leak));
    return leaks.isEmpty() ? status : 1;
}

} // namespace TestMain
