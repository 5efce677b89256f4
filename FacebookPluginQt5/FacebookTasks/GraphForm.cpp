#include "GraphForm.h"

#include <QDateTime>
#include <QNetworkRequest>
#include <QRegularExpression>

namespace GraphForm {

QHttpPart field(const QByteArray &name, const QByteArray &value)
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArray("form-data; name=\"" + name + '"'));
    part.setBody(value);
    return part;
}

namespace {

const struct {
    const char *name;
    const char *value;
} audiences[] = { { "only-me", "SELF" },
                  { "friends", "ALL_FRIENDS" },
                  { "friends-of-friends", "FRIENDS_OF_FRIENDS" },
                  { "everyone", "EVERYONE" } };

} // namespace

QString audienceOf(const QVariant &privacy)
{
    const QString value = privacy.userType() == QMetaType::QVariantMap
        ? privacy.toMap().value(QStringLiteral("value")).toString()
        : privacy.toString();
    for (const auto &known : audiences) {
        if (value == QLatin1String(known.value))
            return QLatin1String(known.name);
    }
    return QString();
}

QByteArray privacy(const QString &audience)
{
    for (const auto &known : audiences) {
        if (audience == QLatin1String(known.name))
            return QByteArray("{\"value\":\"") + known.value + "\"}";
    }
    return QByteArray();
}

bool isBackdatedTime(const QString &time)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2})(Z|[+-]\\d{2}:\\d{2})?$"));
    const QRegularExpressionMatch match = form.match(time);
    // The form alone lets "2026-13-45T25:00:00" through.
    return match.hasMatch() && QDateTime::fromString(match.captured(1), Qt::ISODate).isValid();
}

} // namespace GraphForm
