#include "AccountLogout.h"

#include "network/CookieJar.h"
#include "settings/Settings.h"
#include "utils/OwnerOnlyFile.h"

#include "WebEngineCookieFile.h"

#include <QFileInfo>
#include <QSettings>

#include <algorithm>

AccountLogout::AccountLogout(QNetworkCookieJar *jar, QList<QUrl> serviceOrigins, WebEngine webEngine,
                             QObject *parent)
    : QObject(parent)
    , m_jar(jar)
    , m_origins(serviceOrigins)
    , m_webEngine(webEngine)
    , m_webEngineCookies(std::move(serviceOrigins))
{
}

QList<QUrl> AccountLogout::serviceOrigins()
{
    QList<QUrl> origins;
    const QStringList texts = QStringLiteral(ORVELLE_SERVICE_ORIGINS).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &text : texts)
        origins.append(QUrl(text + QLatin1Char('/')));
    return origins;
}

void AccountLogout::start()
{
    QStringList errors;
    QString error;
    if (!removeToken(&error))
        errors << error;
    if (!removeJarCookies(&error))
        errors << error;
    if (m_webEngine == WebEngine::NotStarted) {
        int removed = 0;
        if (!WebEngineCookieFile::removeSitesCookies(WebEngineCookieFile::defaultPath(), m_origins, &removed, &error))
            errors << QStringLiteral("The web browser's login cookies could not be removed: %1.").arg(error);
        emit finished(errors.isEmpty(), errors.join(QLatin1Char(' ')));
        return;
    }
    connect(&m_webEngineCookies, &WebEngineCookieCleaner::finished, this, [this, errors](bool ok) mutable {
        if (!ok)
            errors << QStringLiteral("The web browser's login cookies could not be removed.");
        emit finished(errors.isEmpty(), errors.join(QLatin1Char(' ')));
    });
    m_webEngineCookies.start();
}

bool AccountLogout::removeToken(QString *error)
{
    const QString path = Settings::filepath();
    if (!QFileInfo::exists(path))
        return true;
    QSettings preferences(path, Settings::format());
    // The real service's token and the sandbox build's, as with the cookies.
    const QStringList keys { QStringLiteral("fbtoken"), QStringLiteral(ORVELLE_SANDBOX_TOKEN_KEY) };
    if (std::none_of(keys.begin(), keys.end(), [&](const QString &key) { return preferences.contains(key); }))
        return true;
    QString reason;
    if (!OwnerOnlyFile::prepare(path, &reason)) {
        *error = QStringLiteral("The token could not be removed: %1.").arg(reason);
        return false;
    }
    for (const QString &key : keys)
        preferences.remove(key);
    preferences.sync();
    if (preferences.status() != QSettings::NoError) {
        *error = QStringLiteral("The token could not be removed from %1.").arg(path);
        return false;
    }
    return true;
}

bool AccountLogout::removeJarCookies(QString *error)
{
    auto *jar = qobject_cast<Network::CookieJar *>(m_jar);
    if (!jar)
        return true; // a plain jar keeps nothing on disk
    int removed = 0;
    for (const QUrl &origin : qAsConst(m_origins)) {
        const QList<QNetworkCookie> cookies = jar->cookiesForUrl(origin);
        for (const QNetworkCookie &cookie : cookies)
            removed += jar->deleteCookie(cookie);
    }
    if (removed == 0)
        return true;
    const QString path = Network::CookieJar::filePath();
    if (QFileInfo::exists(path) && !QFileInfo(path).isWritable()) {
        *error = QStringLiteral("The cookies could not be removed from %1.").arg(path);
        return false;
    }
    jar->store();
    return true;
}
