#ifndef PLUGINHOST_H
#define PLUGINHOST_H

#include "WatchedNetworkManager.h"

#include "FacebookPluginQt5/IPhotoPublishing.h"
#include "FacebookPluginQt5/IPhotoUpload.h"
#include "FacebookPluginQt5/IServiceAccount.h"

#include <QPluginLoader>
#include <QString>

class QWidget;

// Loads a photo plug-in the way Orvelle does: checks its metadata, casts the
// instance to IPhotoUpload and hands it the network manager (with the
// persistent cookie jar) every request goes through. The host also needs
// the plug-in's IPhotoPublishing: outcomes as data.
class PluginHost
{
public:
    explicit PluginHost(const QString &libraryPath);

    // On failure, returns false and says why in error.
    bool load(QString *error);
    void setMainWindow(QWidget *window);

    IPhotoUpload *plugin() const { return m_plugin; }
    // Its work with results as data: every command and batch of the host
    // decides from these, never from a text of the plug-in's.
    IPhotoPublishing *publishing() const { return m_publishing; }
    // Its publishing interface's later version (albums the user creates,
    // photos' audience and dates); null in a plug-in that has only 1.0.
    IPhotoPublishing2 *albumPublishing() const { return qobject_cast<IPhotoPublishing2 *>(m_loader.instance()); }
    // The plug-in's account interface (the logout); null when it has none.
    IServiceAccount *account() const { return qobject_cast<IServiceAccount *>(m_loader.instance()); }
    WatchedNetworkManager *manager() { return &m_manager; }
    // One line for the user: the failure's text and, for a service that
    // could not be reached, where it was looked for (and, for a sandbox
    // build, how to start the sandbox).
    QString failureText(const TaskFailure &failure) const;
    QString libraryPath() const { return m_path; }

private:
    QString m_path;
    mutable QPluginLoader m_loader; // keeps the library loaded for the life of the process
    IPhotoUpload *m_plugin = nullptr; // owned by the loader's instance
    IPhotoPublishing *m_publishing = nullptr; // the same instance
    WatchedNetworkManager m_manager;
};

#endif // PLUGINHOST_H
