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
    m_publishing = qobject_cast<IPhotoPublishing *>(m_loader.instance());
    if (!m_publishing) {
        *error = QStringLiteral("%1 tells no outcome as data (it has no %2)").arg(m_path, QStringLiteral(IPhotoPublishing_iid));
        return false;
    }
    m_plugin->setManager(&m_manager);
    return true;
}

void PluginHost::setMainWindow(QWidget *window)
{
    m_plugin->setParentWidget(window);
}

QString PluginHost::failureText(const TaskFailure &failure) const
{
    const QString text = failure.text();
    const bool unreached = failure.kind == TaskFailure::Kind::HttpFailure && failure.status == 0;
    if (!unreached || m_manager.lastOrigin().isEmpty())
        return text;
    QString where = QStringLiteral(" (the service at %1").arg(m_manager.lastOrigin());
    if (QFileInfo(m_path).fileName().contains(QLatin1String("Sandbox")))
        where += QStringLiteral("; is orvelle-sandbox running? start it with: orvelle-sandbox");
    return text + where + QLatin1Char(')');
}
