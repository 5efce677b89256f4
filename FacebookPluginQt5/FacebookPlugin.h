#ifndef FACEBOOKPLUGIN_H
#define FACEBOOKPLUGIN_H

#include "IPhotoUpload.h"
#include "network/ReplyTask.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QWidget>

class QHttpMultiPart;
class QNetworkReply;
class VlWebView;

// The plug-in object Orvelle loads. One instance per process.
//
// Login (implicit grant), one at a time, in the one shared browser window:
//
//   Idle --authWithPermissions(scope)--> Authorising (window on the OAuth dialog)
//   Authorising --same scope--> joins: the receiver gets the same outcome
//   Authorising --other scope--> 'b' to every receiver, login goes on
//   Authorising --redirect address reached--> 'y' (token stored) or 'n' --> Idle
//   Authorising --window closed by the user--> 'c' --> Idle
//
// Every close of the window stores the cookie jar and raises the host's window.
class FacebookPlugin : public QObject, public IPhotoUpload
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.velotri.Orvelle.IPhotoUpload")
    Q_INTERFACES(IPhotoUpload)

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

    bool eventFilter(QObject *watched, QEvent *event) override;

    // Graph requests, signed with the stored token. The caller adopts the reply.
    QNetworkReply *submitGetRequest(QString path);
    QNetworkReply *submitPostRequest(const QString &path, QHttpMultiPart *body);

    void authWithPermissions(const QString &scope, QObject *receiver, const char *slot);
    bool isRedirectUrl(const QUrl &url);
    bool isAuthorising() const { return m_authorising; }
    QString pendingScope() const { return m_pendingScope; }

    QByteArray graphOrigin() const { return m_graphOrigin; }

    // A login for scope ended with a token, yet the service still refuses
    // the permission: the user declined it. Later logins ask for it again.
    void noteDeclined(const QString &scope);

    // Album name -> album id: filled by album listings, read by uploads;
    // emptied when the stored token is no longer the one that listed them
    // (or one this plug-in's own login stored in its place).
    QHash<QString, QString> &albumMap();

signals:
    void authFinished(char code);

protected:
    // Lets tests run the tasks the factories make on a short retry timer.
    explicit FacebookPlugin(Network::ReplyTask::RetryPolicy taskRetryPolicy);

private slots:
    void shouldFinishAuth(QUrl url);
    void shouldFinishTellFriends(QUrl url);
    void onLoadPageFinished(bool);

private:
    VlWebView *browserWindow();
    void storeCookies();

    QNetworkAccessManager *m_manager = nullptr;
    QPointer<QWidget> m_parentWidget;
    QPointer<VlWebView> m_browser;
    bool m_authorising = false;
    const QByteArray m_graphOrigin;
    const QByteArray m_redirectUrl;
    QHash<QString, QString> m_albums;
    QByteArray m_albumAccount; // digest of the token the album ids came with
    QSet<QString> m_declinedScopes;
    QString m_pendingScope;
    QString m_loginState; // of the running login; empty when none runs
    std::function<void()> m_feedCallback;
    const Network::ReplyTask::RetryPolicy m_taskRetryPolicy;
};

#endif // FACEBOOKPLUGIN_H
