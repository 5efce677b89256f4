#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include "ThumbnailMaker.h"
#include "plugin/DialogCloseWatch.h"

#include "utils/ITask.h"

#include <QMainWindow>

#include <memory>

class PluginHost;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;
class UploadQueue;

// The host's window: who is logged in, the albums, photos to upload (added
// by a file dialog or dropped on the window) with a progress bar each, a
// message, and Upload, Share and Log out.
class HostWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit HostWindow(PluginHost *host, QWidget *parent = nullptr);
    ~HostWindow() override;

    // Asks the plug-in for the user's name, picture and albums (logging in
    // when needed).
    void loadAccount();
    void addPhotos(const QStringList &files);

signals:
    void accountLoaded(); // name, picture and albums shown
    void uploadsFinished();
    void loggedOut();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void loadPicture(const QUrl &url);
    void loadAlbums();
    void choosePhotos();
    void upload();
    void share();
    void logOut();
    void showError(const QString &text);
    void setLoggedOut();

    PluginHost *m_host;
    QLabel *m_picture;
    QLabel *m_name;
    QPushButton *m_logButton;
    QListWidget *m_albums;
    QTreeWidget *m_photos;
    QLineEdit *m_message;
    QPushButton *m_uploadButton;
    QPushButton *m_shareButton;
    std::unique_ptr<ITask> m_accountTask;
    std::unique_ptr<UploadQueue> m_uploads;
    DialogCloseWatch m_feedWatch;
    ThumbnailMaker m_thumbnails;
    bool m_loggedIn = false;
};

#endif // HOSTWINDOW_H
