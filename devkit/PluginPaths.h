#ifndef PLUGINPATHS_H
#define PLUGINPATHS_H

#include <QDir>
#include <QString>

// Where this build put the plug-in's two libraries.
namespace PluginPaths {

enum class Build { Production, Sandbox };

inline QString library(Build build)
{
    const QString name = QStringLiteral(ORVELLE_PLUGIN_NAME); // FacebookPluginQt5 or ...Qt6
    return QDir(QString::fromLocal8Bit(qgetenv("ORVELLE_PLUGIN_DIR")))
        .filePath(build == Build::Production ? QStringLiteral("lib%1.so").arg(name)
                                             : QStringLiteral("lib%1Sandbox.so").arg(name));
}

} // namespace PluginPaths

#endif // PLUGINPATHS_H
