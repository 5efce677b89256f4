#ifndef PROFILECOOKIECLEANER_H
#define PROFILECOOKIECLEANER_H

#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class BrowserWindow;
class QWebEngineCookieStore;

// Removes the login profile's cookies of some sites (the service's login
// session), persistent and session ones, leaving every other site's alone.
//
// The engine's store answers on its own thread and reports neither the end
// of a listing nor of a deletion. Nor does it list what it holds: Qt 5's
// names the cookies it loads from disk, once per process, Qt 6's not even
// those (LoginProfile::storeCookies() keeps what it named). So the cleaner
// reads the names of the sites' cookies in the engine's cookie file first
// (read-only; Qt 5's running engine keeps it locked, and has named them),
// then works in order: a blank page (the store is only connected once a page
// has loaded); the store told to load, followed by a marker cookie, whose
// arrival says the loaded cookies have been named; the deletions of the
// cookies named either way, followed by the marker's, whose removal says
// they are done. A give-up timer ends it otherwise (finished(false)).
//
// The blank page is a browser window that is never shown: the windows' quit
// handler deletes it before it destroys the profile, which is when the
// engine writes the store to disk reliably. A process that quits once
// finished has been emitted leaves the removal on disk.
//
// Without a profile in this process and without a cookie file there is
// nothing to remove, and the engine is not started.
class ProfileCookieCleaner : public QObject
{
    Q_OBJECT
public:
    explicit ProfileCookieCleaner(QList<QUrl> sites, QObject *parent = nullptr);
    ~ProfileCookieCleaner() override;

    void start();

signals:
    void finished(bool ok);

private:
    bool isMarker(const QNetworkCookie &cookie) const;
    void listCookies();
    void removeListed();
    void finish(bool ok);

    const QList<QUrl> m_sites;
    QPointer<QWebEngineCookieStore> m_store;
    QPointer<BrowserWindow> m_window;
    QNetworkCookie m_marker;
    QList<QNetworkCookie> m_onDisk;
    QTimer m_giveUp;
    bool m_listing = false;
    bool m_removing = false;
};

#endif // PROFILECOOKIECLEANER_H
