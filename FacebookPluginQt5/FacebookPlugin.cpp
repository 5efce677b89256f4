#include "FacebookPlugin.h"

#include "FacebookTasks/AlbumTask.h"
#include "FacebookTasks/ProfilePictureTask.h"
#include "FacebookTasks/UploadTask.h"
#include "FacebookTasks/UserNameTask.h"
#include "Path.h"
#include "ServiceConfig.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "utils/OwnerOnlyFile.h"
#include "utils/SecretMask.h"
#include "webview/VlWebView.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QUrlQuery>

namespace {

// 128 bits from the system's cryptographic source, as URL-safe text.
QString newLoginState()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray bytes(reinterpret_cast<const char *>(words), sizeof words);
    return QString::fromLatin1(bytes.toHex());
}

const QString tokenKey = QString::fromLatin1(ServiceConfig::tokenKey);

// Writes the token to the host's preferences file; false (and the previous
// token still the one in use) when the file could not be written. previous
// receives the token it replaced.
bool storeToken(const QString &token, QString *previous)
{
    // The token is a credential: into an owner-only file, or nowhere.
    QString reason;
    if (!OwnerOnlyFile::prepare(Settings::filepath(), &reason)) {
        qDebug() << "Failed to store token:" << reason;
        return false;
    }
    QSettings settings(Settings::filepath(), Settings::format());
    const QVariant replaced = settings.value(tokenKey);
    *previous = replaced.toString();
    settings.setValue(tokenKey, token);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    qDebug() << "Failed to store token";
    // The process shares one cache per file: without this, later requests
    // would use the token the login was said to fail on.
    if (replaced.isValid())
        settings.setValue(tokenKey, replaced);
    else
        settings.remove(tokenKey);
    return false;
}

// Which token the album ids came with, without keeping another copy of it.
QByteArray accountDigest(const QString &token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256);
}

QString storedToken()
{
    // Reading anything but a file (a FIFO planted there) could block for ever.
    const QFileInfo file(Settings::filepath());
    if (file.exists() && !file.isFile())
        return QString();
    QSettings settings(Settings::filepath(), Settings::format());
    const QString token = settings.value(tokenKey, QVariant()).toString();
    SecretMask::remember(token);
    return token;
}

} // namespace

FacebookPlugin::FacebookPlugin()
    : FacebookPlugin(Network::ReplyTask::RetryPolicy())
{
}

FacebookPlugin::FacebookPlugin(Network::ReplyTask::RetryPolicy taskRetryPolicy)
    : m_graphOrigin(ServiceConfig::graphOrigin)
    , m_redirectUrl(QByteArray(ServiceConfig::dialogOrigin) + "/connect/login_success.html")
    , m_taskRetryPolicy(taskRetryPolicy)
{
}

// A login still open when the host unloads us goes quietly: the window
// closes without any outcome code or callback.
FacebookPlugin::~FacebookPlugin()
{
    if (m_browser) {
        m_browser->removeEventFilter(this);
        disconnect(m_browser, nullptr, this, nullptr);
        delete m_browser.data();
    }
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
    m_manager = manager;
}

void FacebookPlugin::setParentWidget(QWidget *widget)
{
    m_parentWidget = widget;
}

// The factories hand the host tasks that are already under way; the host
// owns them from here on.

ITask *FacebookPlugin::newUserAlbumsTask(std::function<void(const Albums &)> onSuccess, ErrorCallback onError)
{
    ITask *task = new AlbumTask(this, std::move(onSuccess), std::move(onError), m_taskRetryPolicy);
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUserProfilePictureTask(const QSize &size, std::function<void(const QUrl &)> onSuccess,
                                                 ErrorCallback onError)
{
    ITask *task = new ProfilePictureTask(this, size, std::move(onSuccess), std::move(onError), m_taskRetryPolicy);
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUserNameTask(std::function<void(const QString &)> onSuccess, ErrorCallback onError)
{
    ITask *task = new UserNameTask(this, std::move(onSuccess), std::move(onError), m_taskRetryPolicy);
    task->submit();
    return task;
}

ITask *FacebookPlugin::newUploadTask(const QString &filePath, const QString &albumName, const QString &message,
                                     std::function<void()> onSuccess, ErrorCallback onError)
{
    ITask *task = new UploadTask(filePath, albumName, message, this, std::move(onSuccess), std::move(onError),
                                   m_taskRetryPolicy);
    task->submit();
    return task;
}

void FacebookPlugin::tellFriends(const QMap<QString, QString> &parameters, std::function<void()> callback)
{
    if (m_authorising)
        return; // the login owns the window; this post is dropped
    m_feedCallback = std::move(callback);
    VlWebView *browser = browserWindow();

    // The host's texts are percent-encoded, so '&', '#', '+' or '%' in a
    // caption arrive as written instead of adding or cutting parameters.
    const auto value = [&parameters](const char *key) {
        return QString::fromLatin1(QUrl::toPercentEncoding(parameters.value(QLatin1String(key))));
    };
    const QString address = QString::fromUtf8(ServiceConfig::dialogOrigin) + "/dialog/feed?app_id="
        + ServiceConfig::appId + "&link=" + ServiceConfig::productPage + "&picture=" + value("picture")
        + "&name=" + value("name") + "&caption=" + value("caption") + "&properties={\"More\":{text:\""
        + ServiceConfig::productSiteName + "\",\"href\":\"" + ServiceConfig::productSiteUrl
        + "\"}}&description=" + value("description") + "&redirect_uri=" + QString::fromUtf8(m_redirectUrl);
    const QUrl url(address, QUrl::TolerantMode);

    connect(browser, SIGNAL(urlHasChanged(QUrl)), this, SLOT(shouldFinishTellFriends(QUrl)));
    browser->load(url);
    browser->show();
}

bool FacebookPlugin::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_browser || event->type() != QEvent::Close)
        return false;
    if (m_authorising) {
        m_authorising = false;
        m_loginState.clear();
        emit authFinished('c');
    }
    storeCookies();
    if (m_parentWidget) {
        m_parentWidget->raise();
        m_parentWidget->activateWindow();
    }
    return false;
}

// The jar is the host's; its code is compiled into the host and into us,
// and a qobject_cast between the two copies fails. The class name holds.
void FacebookPlugin::storeCookies()
{
    QNetworkCookieJar *jar = m_manager ? m_manager->cookieJar() : nullptr;
    if (jar && qstrcmp(jar->metaObject()->className(), "Network::CookieJar") == 0)
        static_cast<Network::CookieJar *>(jar)->store();
}

VlWebView *FacebookPlugin::browserWindow()
{
    if (m_browser) {
        // Taken over from the dialog that had it.
        disconnect(m_browser, nullptr, this, nullptr);
        return m_browser;
    }
    m_browser = new VlWebView(nullptr);
    m_browser->setAttribute(Qt::WA_DeleteOnClose);
    m_browser->setNetworkAccessManager(m_manager);
    m_browser->installEventFilter(this);
    return m_browser;
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

void FacebookPlugin::authWithPermissions(const QString &scope, QObject *receiver, const char *slot)
{
    // Once per receiver, however often it asks.
    connect(this, SIGNAL(authFinished(char)), receiver, slot, Qt::UniqueConnection);
    if (m_authorising) {
        if (scope != m_pendingScope)
            emit authFinished('b');
        return;
    }
    VlWebView *browser = browserWindow();
    // The service hands "state" back with the token; a redirect without this
    // login's own value was not started by us (login forgery) and is refused.
    m_loginState = newLoginState();
    // A permission the user declined once is asked for again only when the
    // dialog is told so; otherwise the service grants the rest at once.
    const QString rerequest = m_declinedScopes.contains(scope) ? QStringLiteral("&auth_type=rerequest") : QString();
    const QString address = QString::fromUtf8(ServiceConfig::dialogOrigin) + "/dialog/oauth?client_id="
        + ServiceConfig::appId + "&redirect_uri=" + QString::fromUtf8(m_redirectUrl) + "&scope=" + scope
        + "&response_type=token&state=" + m_loginState + rerequest;
    const QUrl url(address, QUrl::TolerantMode);
    connect(browser, SIGNAL(urlHasChanged(QUrl)), this, SLOT(shouldFinishAuth(QUrl)));
    connect(browser, SIGNAL(loadHasFinished(bool)), this, SLOT(onLoadPageFinished(bool)));
    m_pendingScope = scope;
    m_authorising = true;
    browser->load(url);
    browser->show();
}

void FacebookPlugin::noteDeclined(const QString &scope)
{
    if (!scope.isEmpty())
        m_declinedScopes.insert(scope);
}

QHash<QString, QString> &FacebookPlugin::albumMap()
{
    // Album ids belong to the account that listed them: another login must
    // never send a photo to the previous user's album.
    const QByteArray account = accountDigest(storedToken());
    if (account != m_albumAccount) {
        m_albums.clear();
        m_albumAccount = account;
    }
    return m_albums;
}

bool FacebookPlugin::isRedirectUrl(const QUrl &url)
{
    const QString bare = url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::StripTrailingSlash);
    return bare == QString::fromUtf8(m_redirectUrl);
}

void FacebookPlugin::shouldFinishAuth(QUrl url)
{
    if (!isRedirectUrl(url))
        return; // a step of the login: a form, a consent page, a redirect
    char outcome = 'n';
    if (url.hasFragment()) {
        // The service sends the token after '#' (implicit grant); read that
        // part itself, so a query before it cannot swallow the token.
        const QUrlQuery items(url.fragment(QUrl::FullyEncoded));
        const QString token = items.queryItemValue(QStringLiteral("access_token"));
        SecretMask::remember(token);
        if (token.isEmpty()) {
            qDebug() << "Auth ui error:" << SecretMask::masked(url.toString());
        } else if (m_loginState.isEmpty() || items.queryItemValue(QStringLiteral("state")) != m_loginState) {
            qDebug() << "Auth ui error: the login state does not match";
        } else {
            // Our own login carries the album ids over to its token; any
            // other change of the stored token (a logout, another process)
            // empties the map at its next use.
            QString previous;
            if (storeToken(token, &previous)) {
                outcome = 'y';
                if (accountDigest(previous) == m_albumAccount)
                    m_albumAccount = accountDigest(token);
            }
        }
    }
    // Receivers run with the flag already clear and the window still open;
    // closing it afterwards therefore sends no 'c'.
    m_authorising = false;
    m_loginState.clear(); // one redirect per login
    emit authFinished(outcome);
    if (m_browser)
        m_browser->close();
}

void FacebookPlugin::shouldFinishTellFriends(QUrl url)
{
    if (!isRedirectUrl(url))
        return;
    if (m_browser)
        m_browser->close();
    const QList<QPair<QString, QString>> items = QUrlQuery(url).queryItems();
    for (const auto &item : items) {
        if (item.first == QLatin1String("post_id")) {
            // A copy: the host may start another feed dialog from its callback.
            const std::function<void()> callback = m_feedCallback;
            if (callback)
                callback();
            return;
        }
    }
}

void FacebookPlugin::onLoadPageFinished(bool)
{
    if (m_browser && m_browser->isHidden() && !isRedirectUrl(m_browser->url()))
        m_browser->show();
}
