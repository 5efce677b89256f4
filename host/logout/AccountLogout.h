#ifndef ACCOUNTLOGOUT_H
#define ACCOUNTLOGOUT_H

#include "WebEngineCookieCleaner.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkCookieJar;

// Logs the user out of the service on this computer: the plug-in's token
// leaves the host's preferences file, the service's cookies leave the cookie
// file and the web engine's store, so that the next login starts at the
// service's login page.
class AccountLogout : public QObject
{
    Q_OBJECT
public:
    // Whether this process has started the web engine: a running engine
    // holds its cookie file locked and must be asked; otherwise the file
    // itself is changed, which does not depend on the engine writing late.
    enum class WebEngine { NotStarted, Running };

    // serviceOrigins: the addresses whose cookies are the service's.
    AccountLogout(QNetworkCookieJar *jar, QList<QUrl> serviceOrigins, WebEngine webEngine,
                  QObject *parent = nullptr);

    // Every step runs even when one fails, to leave as little behind as
    // possible; finished says what was left.
    void start();

    // The service's addresses this host was built for: the real service's
    // and the sandbox's.
    static QList<QUrl> serviceOrigins();

signals:
    void finished(bool ok, const QString &error);

private:
    bool removeToken(QString *error);
    bool removeJarCookies(QString *error);

    QNetworkCookieJar *m_jar;
    QList<QUrl> m_origins;
    WebEngine m_webEngine;
    WebEngineCookieCleaner m_webEngineCookies;
};

#endif // ACCOUNTLOGOUT_H
