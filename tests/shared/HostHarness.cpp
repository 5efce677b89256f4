#include "HostHarness.h"

#include "network/CookieJar.h"

#include <QDir>

QString HostHarness::libraryPath(Build build)
{
    const QString dir = QString::fromLocal8Bit(qgetenv("ORVELLE_PLUGIN_DIR"));
    const QString name = QStringLiteral(ORVELLE_PLUGIN_NAME); // FacebookPluginQt5 or ...Qt6
    const QString file = build == Build::Production ? QStringLiteral("lib%1.so").arg(name)
                                                    : QStringLiteral("lib%1Sandbox.so").arg(name);
    return QDir(dir).filePath(file);
}

HostHarness::HostHarness(Build build)
    : m_loader(libraryPath(build))
{
}

// The loader keeps the library loaded; the plug-in object dies with the
// process, as it does in Orvelle.
HostHarness::~HostHarness() = default;

bool HostHarness::load()
{
    const QJsonObject meta = m_loader.metaData();
    if (meta.value(QStringLiteral("IID")).toString() != QLatin1String("com.velotri.Orvelle.IPhotoUpload")) {
        m_error = QStringLiteral("wrong or missing IID in %1: %2").arg(m_loader.fileName(), m_loader.errorString());
        return false;
    }
    m_instance = m_loader.instance();
    if (!m_instance) {
        m_error = m_loader.errorString();
        return false;
    }
    m_plugin = qobject_cast<IPhotoUpload *>(m_instance);
    if (!m_plugin) {
        m_error = QStringLiteral("the instance does not implement IPhotoUpload");
        return false;
    }
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_manager->setCookieJar(new Network::CookieJar); // the manager owns it
    m_mainWindow = std::make_unique<QMainWindow>();
    m_plugin->setManager(m_manager.get());
    m_plugin->setParentWidget(m_mainWindow.get());
    return true;
}
