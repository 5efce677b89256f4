#ifndef WEBENGINECOOKIEFILE_H
#define WEBENGINECOOKIEFILE_H

#include <QList>
#include <QString>
#include <QUrl>

// The web engine's cookie database on disk, for a process that has not
// started the engine. The engine keeps cookie changes in memory and writes
// them out late (every 30 s, or as it shuts down, and not always then), so
// a command that deletes through the engine and exits at once may leave
// them on disk; deleting from the file itself does not depend on that.
// While an engine has the file open (another Orvelle window), it is locked.
namespace WebEngineCookieFile {

// The login profile's database, where the engine keeps it for this
// application (webview/LoginProfile.h).
QString defaultPath();

// Deletes the cookies of the sites and of the domains that cover them.
// A missing file holds no cookies. On failure returns false with the reason.
bool removeSitesCookies(const QString &path, const QList<QUrl> &sites, int *removed, QString *error);

} // namespace WebEngineCookieFile

#endif // WEBENGINECOOKIEFILE_H
