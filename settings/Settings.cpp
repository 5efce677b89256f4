#include "Settings.h"

#include <QDir>

namespace {
// Filled on first use; empty means "not yet computed".
QString s_filepath;
} // namespace

namespace Settings {

QString directory()
{
    return QDir::homePath() + QStringLiteral("/Library/Preferences");
}

QString filepath()
{
    if (s_filepath.isEmpty())
        s_filepath = directory() + QLatin1Char('/') + QStringLiteral("com.velotri.Orvelle") + QStringLiteral(".plist");
    return s_filepath;
}

QSettings::Format format()
{
    return QSettings::NativeFormat;
}

} // namespace Settings
