#ifndef PREFERENCESFILE_H
#define PREFERENCESFILE_H

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QString>

// The host's preferences file as the sandbox build of the plug-in uses it:
// the token under the sandbox build's own key.
namespace PreferencesFile {

inline QString path()
{
    return QDir::homePath() + QStringLiteral("/Library/Preferences/com.velotri.Orvelle.plist");
}

inline QString tokenKey()
{
    return QStringLiteral(ORVELLE_SANDBOX_TOKEN_KEY);
}

// Through QSettings, whose cache the plug-in in this process shares.
inline void storeToken(const QString &token)
{
    QSettings settings(path(), QSettings::NativeFormat);
    settings.setValue(tokenKey(), token);
    settings.sync();
}

// What the file itself says, whatever any process caches.
inline QString tokenOnDisk(const QString &key = tokenKey())
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QRegularExpression::escape(key)),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(file.readAll())).captured(1).trimmed();
}

} // namespace PreferencesFile

#endif // PREFERENCESFILE_H
