#ifndef TESTMAIN_H
#define TESTMAIN_H

#include <QtTest>

// Sets up a process the way Orvelle runs and every test needs: a private HOME
// and XDG folders (so no test touches a real user's files and web engine
// profiles of parallel tests do not lock each other), the OpenGL sharing the
// web engine needs, and the host's organisation and application names.
namespace TestMain {
int run(int argc, char **argv, QObject *(*makeTest)());
}

#define ORVELLE_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        return TestMain::run(argc, argv, []() -> QObject * { return new TestClass; });             \
    }

#endif // TESTMAIN_H
