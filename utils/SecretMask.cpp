#include "SecretMask.h"

#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

namespace SecretMask {

namespace {

constexpr int shortestSecret = 8;

QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

QSet<QString> &remembered()
{
    static QSet<QString> secrets;
    return secrets;
}

} // namespace

void remember(const QString &secret)
{
    if (secret.size() < shortestSecret)
        return;
    const QMutexLocker locker(&lock());
    remembered().insert(secret);
    // As it would stand inside an address, and inside an address quoted in one.
    const QString once = QString::fromLatin1(QUrl::toPercentEncoding(secret));
    remembered().insert(once);
    remembered().insert(QString::fromLatin1(QUrl::toPercentEncoding(once)));
}

QString masked(const QString &text)
{
    // The value ends where an address or a quoted address would end it ('&'
    // or '#', also percent-encoded once or twice). The item name may come
    // percent-encoded when an address is quoted in another.
    static const QRegularExpression token(
        QStringLiteral("(access_token(?:=|%3D|%253D))(?:(?!%(?:25)?2[36])[^&#\\s\"'<>])+"),
                                          QRegularExpression::CaseInsensitiveOption);
    QString result = text;
    result.replace(token, QStringLiteral("\\1***"));
    const QMutexLocker locker(&lock());
    for (const QString &secret : remembered())
        result.replace(secret, QStringLiteral("***"));
    return result;
}

} // namespace SecretMask
