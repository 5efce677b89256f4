#ifndef SETTINGS_H
#define SETTINGS_H

#include <QSettings>
#include <QString>

// Where the host application keeps its preferences file. The plug-in shares
// that file and touches only its "fbtoken" key.
namespace Settings {

QString directory();
QString filepath();
QSettings::Format format();

} // namespace Settings

#endif // SETTINGS_H
