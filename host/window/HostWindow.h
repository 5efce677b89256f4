#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include "ThumbnailMaker.h"
#include "batch/BatchJob.h"
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
class QTreeWidgetItem;

// The host's window: who is logged in, the albums, photos to upload (added
// by a file dialog or dropped on the window, removed before they are sent)
// with a progress bar and an outcome each, a message, and Upload, Share and
// Log out. Upload sends the photos not uploaded yet; what the record of
// sent photos knows is marked, and sent again only when the user says so.
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
    void removeSelectedPhotos();
    // Sends these rows; with `again`, what the record knows as well.
    void send(const QList<QTreeWidgetItem *> &rows, bool again);
    void onBatchFinished(const QString &error);
    void showResult(QTreeWidgetItem *row, const UploadQueue::Result &result);
    void askToSendAgain(const QList<QTreeWidgetItem *> &rows);
    QList<QTreeWidgetItem *> rowsWithIds(const QList<int> &ids) const;
    void setBatchRunning(bool running);
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
    QPushButton *m_removeButton;
    QPushButton *m_shareButton;
    std::unique_ptr<ITask> m_accountTask;
    BatchJob m_batch;
    QList<QTreeWidgetItem *> m_sending; // the batch's rows, in its order; none is removed meanwhile
    int m_nextPhotoId = 0; // ties a thumbnail to its row, wherever the row is by then
    DialogCloseWatch m_feedWatch;
    ThumbnailMaker m_thumbnails;
    bool m_loggedIn = false;
};

#endif // HOSTWINDOW_H
