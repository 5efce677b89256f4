#ifndef FACEBOOKPLUGIN_H
#define FACEBOOKPLUGIN_H

#include "IPhotoPublishing.h"
#include "IPhotoUpload.h"
#include "IServiceAccount.h"

#include <QObject>
#include <QUrl>

class BrowserLoginFlow;
class GraphClient;
class QHttpMultiPart;
class QNetworkReply;

// The plug-in object Orvelle loads, one per process: the host's interface,
// handing the work on. The Graph client keeps the token and signs the
// requests; the login flow runs the service's dialogs in the browser window.
// Tasks get both and never see the plug-in itself. A logout goes to
// ServiceLogout, which asks each of them, the host's jar and the web
// profile in turn. IPhotoPublishing gives hosts the same work with its
// results as data.
class FacebookPlugin : public QObject, public IPhotoUpload, public IServiceAccount, public IPhotoPublishing2
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.velotri.Orvelle.IPhotoUpload")
    Q_INTERFACES(IPhotoUpload IServiceAccount IPhotoPublishing IPhotoPublishing2)

public:
    FacebookPlugin();
    ~FacebookPlugin() override;

    QImage picture(const QSize &size, qreal scale) override;
    Icon icon(const QSize &size) override;
    QString name() override;
    QStringList supportedMimes() override;
    QSize supportedMaxSize() override;
    void setManager(QNetworkAccessManager *manager) override;
    void setParentWidget(QWidget *widget) override;
    ITask *newUserAlbumsTask(std::function<void(const Albums &)> onSuccess,
                             ErrorCallback onError) override;
    ITask *newUserProfilePictureTask(const QSize &size,
                                     std::function<void(const QUrl &)> onSuccess,
                                     ErrorCallback onError) override;
    ITask *newUserNameTask(std::function<void(const QString &)> onSuccess,
                           ErrorCallback onError) override;
    ITask *newUploadTask(const QString &filePath, const QString &albumName,
                         const QString &message, std::function<void()> onSuccess,
                         ErrorCallback onError) override;
    void tellFriends(const QMap<QString, QString> &parameters,
                     std::function<void()> callback) override;

    void logOut(std::function<void(const QString &error)> done) override;

    ITask *newAccountTask(std::function<void(const Publishing::Account &)> onSuccess,
                          FailureCallback onFailure) override;
    ITask *newAlbumListTask(std::function<void(const QList<Publishing::Album> &)> onSuccess,
                            FailureCallback onFailure) override;
    ITask *newPublishTask(const Publishing::Photo &photo,
                          std::function<void(const Publishing::Result &)> done) override;
    ITask *newCreateAlbumTask(const Publishing::NewAlbum &album,
                              std::function<void(const Publishing::Album &)> onCreated,
                              FailureCallback onFailure) override;

    // The collaborators' work under the plug-in's own names, for hosts and
    // tools that reach the plug-in object itself.
    bool eventFilter(QObject *watched, QEvent *event) override;
    QNetworkReply *submitGetRequest(QString path);
    QNetworkReply *submitPostRequest(const QString &path, QHttpMultiPart *body);
    void authWithPermissions(const QString &scope, QObject *receiver, const char *slot);
    bool isRedirectUrl(const QUrl &url);

signals:
    void authFinished(char code);

private slots:
    void shouldFinishAuth(QUrl url);
    void shouldFinishTellFriends(QUrl url);
    void onLoadPageFinished(bool loaded);

private:
    GraphClient *m_graph;          // children: they go with the plug-in
    BrowserLoginFlow *m_login;
};

#endif // FACEBOOKPLUGIN_H
