#ifndef PLUGINHOST_H
#define PLUGINHOST_H

#include "WatchedNetworkManager.h"

#include "FacebookPluginQt5/IPhotoUpload.h"
#include "FacebookPluginQt5/IServiceAccount.h"

#include <QPluginLoader>
#include <QString>

class QWidget;

// Loads a photo plug-in the way Orvelle does: checks its metadata, casts the
// instance to IPhotoUpload and hands it the network manager (with the
// persistent cookie jar) every request goes through.
class PluginHost
{
public:
    explicit PluginHost(const QString &libraryPath);

    // On failure, returns false and says why in error.
    bool load(QString *error);
    void setMainWindow(QWidget *window);

    IPhotoUpload *plugin() const { return m_plugin; }
    // The plug-in's account interface (the logout); null when it has none.
    IServiceAccount *account() const { return qobject_cast<IServiceAccount *>(m_loader.instance()); }
    WatchedNetworkManager *manager() { return &m_manager; }
    QString libraryPath() const { return m_path; }

private:
    QString m_path;
    mutable QPluginLoader m_loader; // keeps the library loaded for the life of the process
    IPhotoUpload *m_plugin = nullptr; // owned by the loader's instance
    WatchedNetworkManager m_manager;
};

#endif // PLUGINHOST_H
