#include "SecretWatch.h"

#include <QMutex>
#include <QRegularExpression>
#include <QTimer>

namespace SecretWatch {
namespace {

QMutex mutex;
QStringList tokens;
QStringList leaked;
QtMessageHandler previous = nullptr;

void inspect(const QString &text)
{
    static const QRegularExpression minted(QStringLiteral("EAAS[A-Za-z0-9]{20,}"));
    QMutexLocker lock(&mutex);
    bool leaks = minted.match(text).hasMatch();
    for (const QString &token : qAsConst(tokens))
        leaks = leaks || text.contains(token);
    if (leaks)
        leaked << text;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    inspect(message);
    if (previous)
        previous(type, context, message);
}

} // namespace

void watch(const QByteArray &token)
{
    QMutexLocker lock(&mutex);
    tokens << QString::fromUtf8(token);
}

void record(const QString &text)
{
    inspect(text);
}

void installWhenTestsRun()
{
    QTimer::singleShot(0, [] { previous = qInstallMessageHandler(handler); });
}

QStringList leaks()
{
    QMutexLocker lock(&mutex);
    return leaked;
}

} // namespace SecretWatch
