#ifndef IPHOTOUPLOAD_H
#define IPHOTOUPLOAD_H

#include "utils/ITask.h"

#include <QImage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtPlugin>

#include <array>
#include <functional>

class QNetworkAccessManager;
class QWidget;

// The interface through which Orvelle drives a photo-sharing plug-in.
//
// Binary contract: the host calls through the order of the virtual functions
// below, so never reorder, insert or remove one (and no d-pointers either:
// they would not protect that order). The interface has no virtual
// destructor; hosts never delete a plug-in through it.
//
// What a host must do before using a plug-in:
//  1. Set Qt::AA_ShareOpenGLContexts before the QApplication exists (the
//     plug-in's login window is a web view), then create the QApplication
//     with organisation and application names set; they choose the folder of
//     the cookie file.
//  2. Load the library with QPluginLoader, check the IID
//     "com.velotri.Orvelle.IPhotoUpload" and qobject_cast the instance to
//     IPhotoUpload.
//  3. Create a QNetworkAccessManager on the GUI thread, install a
//     Network::CookieJar on it, and hand it to setManager(). It must outlive
//     every task.
//  4. Hand its main window to setParentWidget() (optional); it is raised
//     whenever a browser window of the plug-in closes.
//  5. Ask for tasks through the factories. Tasks come back already submitted;
//     the host owns them, may cancel() and submit() them again, and deletes
//     them. Callbacks run on the GUI thread.
class IPhotoUpload
{
public:
    using Icon = std::array<QImage, 2>; // scale 1 first, scale 2 second
    using Albums = QList<QPair<QString, bool>>; // name, may upload
    using ErrorCallback = std::function<void(const QString &)>;

    virtual QImage picture(const QSize &size, qreal scale) = 0;
    virtual Icon icon(const QSize &size) = 0;
    virtual QString name() = 0;
    virtual QStringList supportedMimes() = 0;
    virtual QSize supportedMaxSize() = 0;
    virtual void setManager(QNetworkAccessManager *manager) = 0;
    virtual void setParentWidget(QWidget *widget) = 0;
    virtual ITask *newUserProfilePictureTask(const QSize &size,
                                             std::function<void(const QUrl &)> onSuccess,
                                             ErrorCallback onError) = 0;
    virtual ITask *newUserNameTask(std::function<void(const QString &)> onSuccess,
                                   ErrorCallback onError) = 0;
    virtual ITask *newUserAlbumsTask(std::function<void(const Albums &)> onSuccess,
                                     ErrorCallback onError) = 0;
    virtual ITask *newUploadTask(const QString &filePath, const QString &albumName,
                                 const QString &message, std::function<void()> onSuccess,
                                 ErrorCallback onError) = 0;
    virtual void tellFriends(const QMap<QString, QString> &parameters,
                             std::function<void()> callback) = 0;

protected:
    ~IPhotoUpload() = default;
};

#define IPhotoUpload_iid "com.velotri.Orvelle.IPhotoUpload/1.0"
Q_DECLARE_INTERFACE(IPhotoUpload, IPhotoUpload_iid)

#endif // IPHOTOUPLOAD_H
