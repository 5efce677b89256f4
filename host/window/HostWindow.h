#ifndef HOSTWINDOW_H
#define HOSTWINDOW_H

#include "ThumbnailMaker.h"
#include "batch/BatchJob.h"
#include "plugin/DialogCloseWatch.h"

#include "utils/ITask.h"

#include <QMainWindow>

#include <memory>

class PluginHost;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The host's window: who is logged in, the albums (every one, told apart by
// description, photo count and audience; new ones made here), who may see
// the photos, photos to upload (added by a file dialog or dropped on the
// window, removed before they are sent) with a caption, a progress bar and
// an outcome each, a message, and Upload, Share and Log out. Upload sends
// the photos not uploaded yet; what the record of sent photos knows is
// marked, and sent again only when the user says so.
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
    // note: the status line once they are listed (by default, how many).
    void loadAlbums(const QString &note = QString());
    void showAlbums(const QList<Publishing::Album> &albums, const QString &note);
    void openNewAlbumDialog();
    // Why this album is not to be made: the plug-in's rules, or a listed
    // album of that name; empty when it may be.
    QString newAlbumRefusal(const Publishing::NewAlbum &album) const;
    void createAlbum(const Publishing::NewAlbum &album);
    void onAlbumNotCreated(const TaskFailure &failure);
    void editCaption(QTreeWidgetItem *row);
    void choosePhotos();
    void upload();
    void removeSelectedPhotos();
    // Sends these rows; with `again`, what the record knows as well.
    void send(const QList<QTreeWidgetItem *> &rows, bool again);
    void onBatchFinished(const QString &error);
    void showResult(QTreeWidgetItem *row, const UploadQueue::Result &result);
    void askToSendAgain(const QList<QTreeWidgetItem *> &rows);
    // What goes with each photo: the message, or each row's caption; who may see them.
    UploadQueue::Options photoOptions(const QList<QTreeWidgetItem *> &rows) const;
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
    QList<Publishing::Album> m_listed; // what m_albums shows
    QPushButton *m_newAlbumButton;
    QComboBox *m_audience; // who may see the photos
    QTreeWidget *m_photos;
    QLineEdit *m_message;
    QPushButton *m_uploadButton;
    QPushButton *m_removeButton;
    QPushButton *m_shareButton;
    std::unique_ptr<ITask> m_accountTask;
    std::unique_ptr<ITask> m_albumTask; // creating one; none other meanwhile
    QString m_albumToSelect; // by id, once the albums are listed again
    BatchJob m_batch;
    QList<QTreeWidgetItem *> m_sending; // the batch's rows, in its order; none is removed meanwhile
    int m_nextPhotoId = 0; // ties a thumbnail to its row, wherever the row is by then
    DialogCloseWatch m_feedWatch;
    ThumbnailMaker m_thumbnails;
    bool m_loggedIn = false;
};

#endif // HOSTWINDOW_H
