#include "FacebookPlugin.h"

#include "Path.h"
#include "ServiceConfig.h"
#include "settings/Settings.h"

#include <QDebug>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace {

QString storedToken()
{
    QSettings settings(Settings::filepath(), Settings::format());
    return settings.value(QStringLiteral("fbtoken"), QVariant()).toString();
}

} // namespace

FacebookPlugin::FacebookPlugin()
    : m_graphOrigin(ServiceConfig::graphOrigin)
    , m_redirectUrl(QByteArray(ServiceConfig::dialogOrigin) + "/connect/login_success.html")
{
}

FacebookPlugin::~FacebookPlugin() = default;

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
    m_manager = manager;
}

void FacebookPlugin::setParentWidget(QWidget *widget)
{
    m_parentWidget = widget;
}

ITask *FacebookPlugin::newUserAlbumsTask(std::function<void(const Albums &)>, ErrorCallback)
{
    return nullptr; // not yet implemented
}

ITask *FacebookPlugin::newUserProfilePictureTask(const QSize &, std::function<void(const QUrl &)>,
                                                 ErrorCallback)
{
    return nullptr; // not yet implemented
}

ITask *FacebookPlugin::newUserNameTask(std::function<void(const QString &)>, ErrorCallback)
{
    return nullptr; // not yet implemented
}

ITask *FacebookPlugin::newUploadTask(const QString &, const QString &, const QString &,
                                     std::function<void()>, ErrorCallback)
{
    return nullptr; // not yet implemented
}

void FacebookPlugin::tellFriends(const QMap<QString, QString> &, std::function<void()>)
{
    // not yet implemented
}

bool FacebookPlugin::eventFilter(QObject *, QEvent *)
{
    return false;
}

QNetworkReply *FacebookPlugin::submitGetRequest(QString path)
{
    const QString token = storedToken();
    const QString text = QString::fromUtf8(m_graphOrigin) + path;
    QUrl url = QUrl::fromEncoded(text.toLatin1(), QUrl::TolerantMode);
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("access_token"), token);
    url.setQuery(query);
    return m_manager->get(QNetworkRequest(url));
}

QNetworkReply *FacebookPlugin::submitPostRequest(const QString &path, QHttpMultiPart *body)
{
    const QString token = storedToken();
    QUrl url(QString::fromUtf8(m_graphOrigin), QUrl::TolerantMode);
    // Decoded mode: the path is literal, so a '?' in it can never start a query.
    url.setPath(path, QUrl::DecodedMode);
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("access_token"), token);
    url.setQuery(query);
    return m_manager->post(QNetworkRequest(url), body);
}

void FacebookPlugin::authWithPermissions(const QString &, QObject *, const char *)
{
    // not yet implemented
}

bool FacebookPlugin::isRedirectUrl(const QUrl &url)
{
    const QString bare = url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::StripTrailingSlash);
    return bare == QString::fromUtf8(m_redirectUrl);
}

void FacebookPlugin::shouldFinishAuth(QUrl)
{
}

void FacebookPlugin::shouldFinishTellFriends(QUrl)
{
}

void FacebookPlugin::onLoadPageFinished(bool)
{
}
