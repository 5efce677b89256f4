#include "GraphClient.h"
#include "TestMain.h"
#include "PreferencesFile.h"
#include "network/CookieJar.h"
#include "settings/Settings.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

// Every mode a file in the watched folders is created with or changed to, as
// the C library is asked for it. This executable's definitions of open64,
// chmod and fchmod come before the C library's for Qt too, so the temporary
// file QSettings writes first is seen as well.
namespace {

struct ModeEvent
{
    std::string path;
    mode_t mode;
};

std::mutex eventsMutex;
std::vector<std::string> watchedFolders;
std::vector<ModeEvent> events;
std::vector<std::pair<int, std::string>> openFiles;
bool refuseModes = false; // a file system that ignores modes, in the watched folders
bool refuseNewFiles = false; // a full disk, say: no new file in the watched folders

// In a watched folder, or the folder itself (where O_TMPFILE makes a file).
bool watched(const std::string &path)
{
    for (const std::string &folder : watchedFolders) {
        if (path.compare(0, folder.size(), folder) == 0 || path + '/' == folder)
            return true;
    }
    return false;
}

// Lock files hold a process id, never a secret.
bool isLockFile(const std::string &path)
{
    return path.size() > 5 && path.compare(path.size() - 5, 5, ".lock") == 0;
}

void record(const std::string &path, mode_t mode)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    if (watched(path) && !isLockFile(path))
        events.push_back({ path, mode });
}

bool refusedAsNew(const std::string &path)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    return refuseNewFiles && watched(path) && !isLockFile(path);
}

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Watches the folders (none: stops), refusing what is asked; returns what
// was seen since the last call.
std::vector<ModeEvent> watch(const QStringList &folders, bool refuseMode = false, bool refuseNew = false)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    watchedFolders.clear();
    for (const QString &folder : folders)
        watchedFolders.push_back(QFile::encodeName(folder).toStdString() + '/');
    refuseModes = refuseMode;
    refuseNewFiles = refuseNew;
    std::vector<ModeEvent> seen;
    seen.swap(events);
    return seen;
}

} // namespace

extern "C" {

using Open = int (*)(const char *, int, ...);

static int watchedOpen(Open real, const char *path, int flags, va_list arguments);

// open and open64 alike: watched, then the C library's own.
#define WATCHED_OPEN(name)                                                                         \
    int name(const char *path, int flags, ...)                                                     \
    {                                                                                              \
        static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, #name));                 \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const int fd = watchedOpen(real, path, flags, arguments);                                  \
        va_end(arguments);                                                                         \
        return fd;                                                                                 \
    }
WATCHED_OPEN(open64)
WATCHED_OPEN(open)

static int watchedOpen(Open real, const char *path, int flags, va_list arguments)
{
    mode_t mode = 0;
    const bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    if (creates)
        mode = mode_t(va_arg(arguments, int));
    // O_CREAT on a file that exists creates nothing, and its mode is unused.
    struct stat existing;
    const bool existed = (flags & O_TMPFILE) != O_TMPFILE && ::stat(path, &existing) == 0;
    if (creates && !existed && refusedAsNew(path)) {
        errno = ENOSPC;
        return -1;
    }
    const int fd = real(path, flags, mode);
    if (fd >= 0) {
        if (creates && !existed)
            record(path, mode & ~currentUmask());
        std::lock_guard<std::mutex> lock(eventsMutex);
        if (watched(path))
            openFiles.emplace_back(fd, path);
    }
    return fd;
}

int chmod(const char *path, mode_t mode)
{
    using Chmod = int (*)(const char *, mode_t);
    static const auto real = reinterpret_cast<Chmod>(dlsym(RTLD_NEXT, "chmod"));
    record(path, mode);
    return real(path, mode);
}

int fchmod(int fd, mode_t mode)
{
    using Fchmod = int (*)(int, mode_t);
    static const auto real = reinterpret_cast<Fchmod>(dlsym(RTLD_NEXT, "fchmod"));
    std::string path;
    {
        std::lock_guard<std::mutex> lock(eventsMutex);
        for (auto it = openFiles.rbegin(); it != openFiles.rend(); ++it) {
            if (it->first == fd) {
                path = it->second;
                break;
            }
        }
    }
    if (!path.empty())
        record(path, mode);
    if (!path.empty() && refuseModes && watched(path)) {
        errno = EPERM;
        return -1;
    }
    return real(fd, mode);
}

} // extern "C"

// The token and the login cookies are never, not for a moment, in a file
// that others can read, with the process's umask at 022.
class tst_CredentialFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ownerOnlyFromTheFirstByte_data();
    void ownerOnlyFromTheFirstByte();
    void failsClosed_data();
    void failsClosed();

private:
    bool storeSecrets();
};

// What a login that brought a token does with the two files: the token into
// the preferences file, the jar with a login cookie "secret" into the cookie
// file. True when the token was stored.
bool tst_CredentialFiles::storeSecrets()
{
    Network::CookieJar jar;
    QNetworkCookie session("session", "secret");
    session.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(1));
    jar.setCookiesFromUrl({ session }, QUrl("http://127.0.0.1/"));
    jar.store();
    GraphClient graph("http://127.0.0.1:1", PreferencesFile::tokenKey());
    return graph.storeLoginToken(QStringLiteral("token-kept-secret"));
}

void tst_CredentialFiles::initTestCase()
{
    ::umask(022);
}

void tst_CredentialFiles::ownerOnlyFromTheFirstByte_data()
{
    QTest::addColumn<bool>("hostFileExists");
    QTest::newRow("new-files") << false;
    QTest::newRow("host-file-readable-by-others") << true;
}

void tst_CredentialFiles::ownerOnlyFromTheFirstByte()
{
    QFETCH(bool, hostFileExists);
    QFile::remove(Settings::filepath());
    QFile::remove(Network::CookieJar::filePath());
    if (hostFileExists) {
        QDir().mkpath(Settings::directory());
        QFile host(Settings::filepath());
        QVERIFY(host.open(QIODevice::WriteOnly));
        host.write("[General]\nhostKey=7\n");
        host.close();
        QVERIFY(host.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    watch({ Settings::directory(), QFileInfo(Network::CookieJar::filePath()).path() });

    QVERIFY(storeSecrets());

    const std::vector<ModeEvent> seen = watch({});
    int preferencesWrites = 0, cookieWrites = 0; // files made or modes set
    for (const ModeEvent &event : seen) {
        QVERIFY2((event.mode & 077) == 0, qPrintable(QStringLiteral("%1 got mode %2")
                                                         .arg(QString::fromStdString(event.path))
                                                         .arg(event.mode, 0, 8)));
        const QString path = QString::fromStdString(event.path);
        preferencesWrites += path.startsWith(Settings::directory()) ? 1 : 0;
        cookieWrites += path.startsWith(QFileInfo(Network::CookieJar::filePath()).path()) ? 1 : 0;
    }
    // The watch saw the writes themselves (the file, and the temporary file
    // it is written through), so the checks above had something to check.
    QVERIFY(preferencesWrites >= 2);
    QVERIFY(cookieWrites >= 2);
    QFile cookies(Network::CookieJar::filePath());
    QVERIFY(cookies.open(QIODevice::ReadOnly) && cookies.readAll().contains("secret"));
    QCOMPARE(QFile::permissions(Settings::filepath()) & QFile::Permissions(0x0077), QFile::Permissions());
    QCOMPARE(QFile::permissions(Network::CookieJar::filePath()) & QFile::Permissions(0x0077), QFile::Permissions());
    QSettings settings(Settings::filepath(), Settings::format());
    QVERIFY(!settings.value(PreferencesFile::tokenKey()).toString().isEmpty());
    QCOMPARE(settings.value("hostKey").toInt(), hostFileExists ? 7 : 0); // the host's keys stay
}

// Where a file cannot be made owner-only, nothing secret goes into it: the
// token is not stored (the login reports 'n') and the cookies stay out. A link to the user's own file
// is followed as before.
void tst_CredentialFiles::failsClosed_data()
{
    QTest::addColumn<QString>("plant"); // what stands where the file goes
    QTest::addColumn<QString>("file");  // preferences or cookies
    QTest::addColumn<bool>("tokenStored");
    QTest::addColumn<bool>("secretStored");
    QTest::newRow("preferences-of-another-user") << "other-user" << "preferences" << false << false;
    QTest::newRow("preferences-a-fifo") << "fifo" << "preferences" << false << false;
    QTest::newRow("preferences-mode-refused") << "refused-mode" << "preferences" << false << false;
    QTest::newRow("preferences-link-to-own-file") << "link" << "preferences" << true << true;
    QTest::newRow("preferences-not-written") << "no-new-files" << "preferences" << false << false;
    QTest::newRow("cookies-of-another-user") << "other-user" << "cookies" << true << false;
}

void tst_CredentialFiles::failsClosed()
{
    QFETCH(QString, plant);
    QFETCH(QString, file);
    QFETCH(bool, tokenStored);
    QFETCH(bool, secretStored);
    const QString path = file == "preferences" ? Settings::filepath() : Network::CookieJar::filePath();
    QFile::remove(Settings::filepath());
    QFile::remove(Network::CookieJar::filePath());
    QDir().mkpath(QFileInfo(path).path());
    QTemporaryDir elsewhere;
    const QString target = plant == "link" ? elsewhere.filePath("real.plist") : path;
    if (plant == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        QFile planted(target);
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.write("[General]\nhostKey=7\n");
        planted.close();
        if (plant == "other-user")
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        if (plant == "link")
            QVERIFY(QFile::link(target, path));
    }
    watch({ QFileInfo(path).path() }, plant == "refused-mode", plant == "no-new-files");
    if (!tokenStored)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to store token"));
    QCOMPARE(storeSecrets(), tokenStored);
    watch({});
    if (plant != "fifo") {
        // Nor does the process go on with a token it could not store: its
        // settings cache, which later requests read, is the file's.
        QCOMPARE(QSettings(Settings::filepath(), Settings::format()).contains(PreferencesFile::tokenKey()), tokenStored);
        QFile written(target);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        QCOMPARE(text.contains(file == "preferences" ? PreferencesFile::tokenKey().toUtf8() : QByteArray("secret")),
                 secretStored);
        QVERIFY(text.contains("hostKey=7"));
    }
    QFile::remove(path);
}

ORVELLE_TEST_MAIN(tst_CredentialFiles)
#include "tst_credentialfiles.moc"
