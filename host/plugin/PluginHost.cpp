#include "PluginHost.h"

#include "network/CookieJar.h"

#include <QFileInfo>

PluginHost::PluginHost(const QString &libraryPath)
    : m_path(libraryPath)
    , m_loader(libraryPath)
{
    m_manager.setCookieJar(new Network::CookieJar); // the manager owns it
}

// The path as given: the loader forgets a path it cannot find.
bool PluginHost::load(QString *error)
{
    if (!QFileInfo(m_path).isFile()) {
        *error = QStringLiteral("no plug-in at %1").arg(m_path);
        return false;
    }
    if (m_loader.metaData().value(QStringLiteral("IID")).toString() != QLatin1String("com.velotri.Orvelle.IPhotoUpload")) {
        *error = QStringLiteral("%1 is not an Orvelle photo plug-in (%2)").arg(m_path, m_loader.errorString());
        return false;
    }
    m_plugin = qobject_cast<IPhotoUpload *>(m_loader.instance());
    if (!m_plugin) {
        *error = QStringLiteral("%1 could not be loaded: %2").arg(m_path, m_loader.errorString());
        return false;
    }
    m_plugin->setManager(&m_manager);
    return true;
}

void PluginHost::setMainWindow(QWidget *window)
{
    m_plugin->setParentWidget(window);
}
