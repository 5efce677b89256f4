#ifndef HOSTHARNESS_H
#define HOSTHARNESS_H

#include "FacebookPluginQt5/IPhotoUpload.h"

#include <QJsonObject>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QPluginLoader>

#include <memory>

// Plays Orvelle: loads a built plug-in library by path, checks its metadata,
// casts it to IPhotoUpload and hands in a network manager and a main window.
// Knows the plug-in only through its interface header.
class HostHarness
{
public:
    enum class Build { Production, Sandbox };

    static QString libraryPath(Build build);

    explicit HostHarness(Build build = Build::Sandbox);
    ~HostHarness();

    // Loads and casts; on failure returns false and sets errorString().
    bool load();
    QString errorString() const { return m_error; }

    QJsonObject metaData() const { return m_loader.metaData(); }
    QObject *instance() const { return m_instance; }
    IPhotoUpload *plugin() const { return m_plugin; }
    QNetworkAccessManager *manager() const { return m_manager.get(); }
    QMainWindow *mainWindow() const { return m_mainWindow.get(); }

private:
    QPluginLoader m_loader;
    QObject *m_instance = nullptr;
    IPhotoUpload *m_plugin = nullptr;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<QMainWindow> m_mainWindow;
    QString m_error;
};

#endif // HOSTHARNESS_H
