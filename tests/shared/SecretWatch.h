#ifndef SECRETWATCH_H
#define SECRETWATCH_H

#include <QString>
#include <QStringList>

// Watches, for the whole test process, every message logged and every error
// text a task reported for access tokens: the ones the test handed out, and
// any the sandbox minted (they all start "EAAS"). TestMain fails the process
// when one shows up.
namespace SecretWatch {
void watch(const QByteArray &token);
void record(const QString &text);
// Records every logged message from the first turn of the event loop on,
// after QtTest has installed its own handler (which still gets them).
void installWhenTestsRun();
QStringList leaks();
}

#endif // SECRETWATCH_H
