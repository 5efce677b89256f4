#ifndef PROCESSTABLE_H
#define PROCESSTABLE_H

#include <QDir>
#include <QFile>
#include <QList>

// What /proc says about processes: children, and fields of their status.
namespace ProcessTable {

// The children of parent whose command name contains name (any when empty).
inline QList<qint64> children(qint64 parent, const QByteArray &name = QByteArray())
{
    QList<qint64> found;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        const QByteArray command = text.mid(text.indexOf('(') + 1, close - text.indexOf('(') - 1);
        if (text.mid(close + 2).split(' ').value(1).toLongLong() == parent && command.contains(name))
            found << pid.toLongLong();
    }
    return found;
}

// A "kB" field of /proc/PID/status (VmRSS, VmHWM, ...); -1 when unknown.
inline qint64 statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace ProcessTable

#endif // PROCESSTABLE_H
