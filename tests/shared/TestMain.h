#ifndef TESTMAIN_H
#define TESTMAIN_H

#include <QSignalSpy>
#include <QTest>

// Sets up a process the way Orvelle runs and every test needs: a private HOME
// and XDG folders (so no test touches a real user's files and web engine
// profiles of parallel tests do not lock each other), the OpenGL sharing the
// web engine needs, and the host's organisation and application names.
namespace TestMain {
enum class GlSharing { Set, Forgotten }; // a host may forget to set it
int run(int argc, char **argv, QObject *(*makeTest)(), GlSharing glSharing = GlSharing::Set);
}

#define ORVELLE_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        return TestMain::run(argc, argv, []() -> QObject * { return new TestClass; });             \
    }

// The same for a host that forgot Qt::AA_ShareOpenGLContexts.
#define ORVELLE_TEST_MAIN_WITHOUT_GL_SHARING(TestClass)                                            \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        return TestMain::run(argc, argv, []() -> QObject * { return new TestClass; },              \
                             TestMain::GlSharing::Forgotten);                                      \
    }

#endif // TESTMAIN_H
