#include "SecretMask.h"

#include <QRegularExpression>

namespace SecretMask {

QString masked(const QString &text)
{
    // The value ends where an address or a quoted address would end it. The
    // item name may come percent-encoded when an address is quoted in another.
    static const QRegularExpression token(QStringLiteral("(access_token(?:=|%3D))[^&#\\s\"'<>]+"),
                                          QRegularExpression::CaseInsensitiveOption);
    QString result = text;
    return result.replace(token, QStringLiteral("\\1***"));
}

} // namespace SecretMask
