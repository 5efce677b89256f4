#include "WebEngineCookieFile.h"

#include "webview/LoginProfile.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <sqlite3.h>

#include <memory>

namespace WebEngineCookieFile {

QString defaultPath()
{
    return LoginProfile::cookieFilePath();
}

bool removeSitesCookies(const QString &path, const QList<QUrl> &sites, int *removed, QString *error)
{
    *removed = 0;
    if (!QFileInfo::exists(path))
        return true;
    // The engine of that window would write its cookies back over ours.
    if (path == LoginProfile::cookieFilePath() && LoginProfile::isInUseElsewhere()) {
        *error = QStringLiteral("another Orvelle window has them open; close it and log out again");
        return false;
    }
    sqlite3 *raw = nullptr;
    const int opened = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(raw, sqlite3_close);
    const auto fail = [&] {
        *error = sqlite3_errcode(db.get()) == SQLITE_BUSY
            ? QStringLiteral("another Orvelle window has them open; close it and log out again")
            : QStringLiteral("%1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db.get())));
        return false;
    };
    if (opened != SQLITE_OK)
        return fail();
    // A host-only cookie has the host itself as its key; a domain cookie a
    // leading dot and a suffix of ".host".
    sqlite3_stmt *rawStatement = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "DELETE FROM cookies WHERE host_key = ?1"
                           " OR (substr(host_key, 1, 1) = '.' AND substr('.' || ?1, -length(host_key)) = host_key)",
                           -1, &rawStatement, nullptr)
        != SQLITE_OK)
        return fail();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> statement(rawStatement, sqlite3_finalize);
    for (const QUrl &site : sites) {
        const QByteArray host = site.host().toUtf8();
        sqlite3_bind_text(statement.get(), 1, host.constData(), host.size(), SQLITE_TRANSIENT);
        const int stepped = sqlite3_step(statement.get());
        if (stepped != SQLITE_DONE)
            return fail();
        *removed += sqlite3_changes(db.get());
        sqlite3_reset(statement.get());
    }
    return true;
}

} // namespace WebEngineCookieFile
