#include "TestMain.h"

#include "PrivateHome.h"
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
    PrivateHome::use(root.path());

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
