#ifndef LOGINPROFILE_H
#define LOGINPROFILE_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QNetworkCookie>
#include <QStandardPaths>
#include <QVariant>
#include <QString>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The web profile the login and feed dialogs run in, and so where the
// service's login session (its cookies) lives between runs.
//
// A persistent profile of its own, one per Qt major (Qt 6's default profile
// is off the record, and the two majors' Chromium versions must not share
// one store). The engine writes cookies out late, and reliably only when the
// profile is destroyed: release() at quit, after the last page has gone, so
// a login is remembered by the next run. The plug-in and the host each
// compile this header; both find the process's one profile by its object
// name on the application object.
namespace LoginProfile {

inline const QString &storageName()
{
    static const QString name = QStringLiteral("FacebookLogin-Qt%1").arg(QT_VERSION_MAJOR);
    return name;
}

// Where the profile keeps its files, whether or not this process started
// the web engine.
inline QString storagePath()
{
    const QString engine = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/QtWebEngine/");
    return engine + storageName();
}

inline QString cookieFilePath()
{
    return storagePath() + QStringLiteral("/Cookies");
}

// A process with the profile open holds a shared lock on this file until it
// ends: the engine's own files say nothing reliable about who has them open.
inline QByteArray inUseFile()
{
    return QFile::encodeName(storagePath() + QStringLiteral("/orvelle-in-use"));
}

// The profile of this process, if it has made it and not yet released it.
inline QWebEngineProfile *openProfile()
{
    return qApp ? qApp->findChild<QWebEngineProfile *>(storageName(), Qt::FindDirectChildrenOnly) : nullptr;
}

// The descriptor of this process's own lock, kept on the profile: the host
// and the plug-in each compile this header.
constexpr char inUseDescriptor[] = "orvelleInUseDescriptor";

// Whether another process has the profile open (or had: its lock ends with
// the process).
inline bool isInUseElsewhere()
{
    const QVariant own = openProfile() ? openProfile()->property(inUseDescriptor) : QVariant();
    if (own.isValid()) {
        // Our shared lock would refuse a test lock on a descriptor of its
        // own, so ask through ours. A refused upgrade drops it: it is taken
        // again either way.
        const bool busy = ::flock(own.toInt(), LOCK_EX | LOCK_NB) != 0;
        ::flock(own.toInt(), LOCK_SH);
        return busy;
    }
    const int fd = ::open(inUseFile().constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return busy;
}

// The cookies the profile's store has named since the profile was made. The
// store names cookies as they change, and Qt 5's also as it loads them from
// disk (once per process, at their first use; loadAllCookies() names none
// after that, and Qt 6's none at all): there is no other way to learn what
// it holds. Found by its object name: the host and the plug-in each compile
// this header.
class StoreCookies : public QObject
{
public:
    explicit StoreCookies(QWebEngineProfile *profile)
        : QObject(profile)
    {
        setObjectName(QStringLiteral("orvelleStoreCookies"));
        QWebEngineCookieStore *store = profile->cookieStore();
        connect(store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie &cookie) {
            forget(cookie);
            m_cookies.append(cookie);
        });
        connect(store, &QWebEngineCookieStore::cookieRemoved, this, &StoreCookies::forget);
    }
    QList<QNetworkCookie> cookies() const { return m_cookies; }

private:
    void forget(const QNetworkCookie &cookie)
    {
        m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(),
                                       [&cookie](const QNetworkCookie &known) { return known.hasSameIdentifier(cookie); }),
                        m_cookies.end());
    }

    QList<QNetworkCookie> m_cookies;
};

inline QList<QNetworkCookie> storeCookies()
{
    QObject *list = openProfile() ? openProfile()->findChild<QObject *>(QStringLiteral("orvelleStoreCookies")) : nullptr;
    return list ? static_cast<StoreCookies *>(list)->cookies() : QList<QNetworkCookie>();
}

inline QWebEngineProfile *profile()
{
    if (auto *existing = openProfile())
        return existing;
    QDir().mkpath(storagePath());
    const int inUse = ::open(inUseFile().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (inUse >= 0)
        ::flock(inUse, LOCK_SH); // held, with the descriptor, until the process ends
    auto *created = new QWebEngineProfile(storageName(), qApp);
    created->setObjectName(storageName());
    if (inUse >= 0)
        created->setProperty(inUseDescriptor, inUse);
    new StoreCookies(created); // before any page loads the store
    created->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    return created;
}

// Destroys the profile, which writes its cookies out; the pages that use it
// must be gone.
inline void release()
{
    delete openProfile();
}

} // namespace LoginProfile

#endif // LOGINPROFILE_H
