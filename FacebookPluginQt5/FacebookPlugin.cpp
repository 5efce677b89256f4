#include "FacebookPlugin.h"

#include "BrowserLoginFlow.h"
#include "FacebookTasks/AlbumTask.h"
#include "FacebookTasks/CreateAlbumTask.h"
#include "FacebookTasks/ProfilePictureTask.h"
#include "FacebookTasks/UploadTask.h"
#include "FacebookTasks/UserNameTask.h"
#include "GraphClient.h"
#include "Path.h"
#include "ServiceLogout.h"
#include "ServiceConfig.h"

#include <QDebug>

namespace {

// A build for the stand-in service may be pointed at one on any port: the
// variable's value takes the place of the compiled-in origin. A build for
// the real service has no such variable.
QByteArray configured(const char *address)
{
    const QByteArray origin = ServiceConfig::originVariable[0] ? qgetenv(ServiceConfig::originVariable) : QByteArray();
    if (origin.isEmpty())
        return address;
    const QByteArray text(address);
    const int pathStart = text.indexOf('/', text.indexOf("//") + 2);
    return origin + (pathStart < 0 ? QByteArray() : text.mid(pathStart));
}

} // namespace

FacebookPlugin::FacebookPlugin()
    : m_graph(new GraphClient(configured(ServiceConfig::graphOrigin), QString::fromUtf8(ServiceConfig::tokenKey), this))
    , m_login(new BrowserLoginFlow(m_graph,
                                   { configured(ServiceConfig::dialogOrigin), QString::fromUtf8(ServiceConfig::appId),
                                     QString::fromUtf8(configured(ServiceConfig::productPage)),
                                     QString::fromUtf8(ServiceConfig::productSiteName),
                                     QString::fromUtf8(ServiceConfig::productSiteUrl) },
                                   this))
{
    connect(m_login, &LoginFlow::authFinished, this, &FacebookPlugin::authFinished);
}

// A login still open when the host unloads us goes quietly: the window
// closes without any outcome code or callback.
FacebookPlugin::~FacebookPlugin()
{
    delete m_login;
}

QImage FacebookPlugin::picture(const QSize &size, qreal scale)
{
    QImage image;
    QString base;
    if (size.width() == 24 && size.height() == 24) {
        base = QStringLiteral(":/facebook24.png");
    } else if (size.width() == 16 && size.height() == 16) {
        base = QStringLiteral(":/facebook16.png");
    } else {
        qDebug() << "Unimplemented picture size" << size;
        return image;
    }
    const int level = scale > 1.0 ? 2 : 1;
    image.load(Path::filepathForLevel(base, level, true));
    return image;
}

IPhotoUpload::Icon FacebookPlugin::icon(const QSize &size)
{
    return { picture(size, 1.0), picture(size, 2.0) };
}

QString FacebookPlugin::name()
{
    return QStringLiteral("Facebook");
}

QStringList FacebookPlugin::supportedMimes()
{
    return { QStringLiteral("image/jpeg"), QStringLiteral("image/png"), QStringLiteral("image/gif") };
}

QSize FacebookPlugin::supportedMaxSize()
{
    return QSize(2048, 2048);
}

void FacebookPlugin::setManager(QNetworkAccessManager *manager)
{
    m_graph->setManager(manager);
}

void FacebookPlugin::setParentWidget(QWidget *widget)
{
    m_login->setParentWidget(widget);
}

// The factories hand the host tasks that are already under way; the host
// owns them from here on.

ITask *FacebookPlugin::newUserAlbumsTask(std::function<void(const Albums &)> onSuccess, ErrorCallback onError)
{
    ITask *task = new AlbumTask(m_graph, m_login, std::move(onSuccess), std::move(onError));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUserProfilePictureTask(const QSize &size, std::function<void(const QUrl &)> onSuccess,
                                                 ErrorCallback onError)
{
    ITask *task = new ProfilePictureTask(m_graph, m_login, size, std::move(onSuccess), std::move(onError));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUserNameTask(std::function<void(const QString &)> onSuccess, ErrorCallback onError)
{
    ITask *task = new UserNameTask(m_graph, m_login, std::move(onSuccess), std::move(onError));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUploadTask(const QString &filePath, const QString &albumName, const QString &message,
                                     std::function<void()> onSuccess, ErrorCallback onError)
{
    ITask *task = new UploadTask(m_graph, m_login, filePath, albumName, message, std::move(onSuccess),
                                 std::move(onError));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newAccountTask(std::function<void(const Publishing::Account &)> onSuccess,
                                     FailureCallback onFailure)
{
    ITask *task = new UserNameTask(m_graph, m_login, std::move(onSuccess), std::move(onFailure));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newAlbumListTask(std::function<void(const QList<Publishing::Album> &)> onSuccess,
                                       FailureCallback onFailure)
{
    ITask *task = new AlbumTask(m_graph, m_login, std::move(onSuccess), std::move(onFailure));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newPublishTask(const Publishing::Photo &photo,
                                     std::function<void(const Publishing::Result &)> done)
{
    ITask *task = new UploadTask(m_graph, m_login, photo, std::move(done));
    task->submit();
    return task;
}

ITask *FacebookPlugin::newCreateAlbumTask(const Publishing::NewAlbum &album,
                                         std::function<void(const Publishing::Album &)> onCreated,
                                         FailureCallback onFailure)
{
    ITask *task = new CreateAlbumTask(m_graph, m_login, album, std::move(onCreated), std::move(onFailure));
    task->submit();
    return task;
}

void FacebookPlugin::tellFriends(const QMap<QString, QString> &parameters, std::function<void()> callback)
{
    m_login->tellFriends(parameters, std::move(callback));
}

void FacebookPlugin::logOut(std::function<void(const QString &error)> done)
{
    const QList<QUrl> sites { QUrl(QString::fromUtf8(configured(ServiceConfig::graphOrigin)) + QLatin1Char('/')),
                              QUrl(QString::fromUtf8(configured(ServiceConfig::dialogOrigin)) + QLatin1Char('/')) };
    (new ServiceLogout(m_graph, m_login, sites, this))->start(std::move(done));
}

bool FacebookPlugin::eventFilter(QObject *watched, QEvent *event)
{
    return m_login->eventFilter(watched, event);
}

QNetworkReply *FacebookPlugin::submitGetRequest(QString path)
{
    return m_graph->get(path);
}

QNetworkReply *FacebookPlugin::submitPostRequest(const QString &path, QHttpMultiPart *body)
{
    return m_graph->post(path, body);
}

void FacebookPlugin::authWithPermissions(const QString &scope, QObject *receiver, const char *slot)
{
    m_login->authWithPermissions(scope, receiver, slot);
}

bool FacebookPlugin::isRedirectUrl(const QUrl &url)
{
    return m_login->isRedirectUrl(url);
}

void FacebookPlugin::shouldFinishAuth(QUrl url)
{
    m_login->shouldFinishAuth(url);
}

void FacebookPlugin::shouldFinishTellFriends(QUrl url)
{
    m_login->shouldFinishTellFriends(url);
}

void FacebookPlugin::onLoadPageFinished(bool loaded)
{
    m_login->onLoadPageFinished(loaded);
}
