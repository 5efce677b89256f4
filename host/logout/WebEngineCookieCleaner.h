#ifndef WEBENGINECOOKIECLEANER_H
#define WEBENGINECOOKIECLEANER_H

#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>

class QWebEngineCookieStore;
class QWebEnginePage;

// Removes the web engine's stored cookies of some sites (the login session
// of the service), leaving every other site's alone.
//
// The engine's cookie store answers on its own thread and reports neither
// the end of a listing nor of a deletion. So the cleaner works in order: a
// blank page first (the store is only connected once a page has loaded),
// then the listing followed by a marker cookie, whose arrival says the
// listing is complete; then the deletions followed by the marker's, whose
// removal says they are done. The engine writes the change to disk later
// (within 30 s, or as it shuts down), so this is for a window that keeps
// running; a command that exits at once changes the file instead
// (WebEngineCookieFile).
class WebEngineCookieCleaner : public QObject
{
    Q_OBJECT
public:
    explicit WebEngineCookieCleaner(QList<QUrl> sites, QObject *parent = nullptr);
    ~WebEngineCookieCleaner() override;

    void start();

signals:
    void finished(bool ok, int removed);

private:
    bool isSitesCookie(const QNetworkCookie &cookie) const;
    bool isMarker(const QNetworkCookie &cookie) const;
    void listCookies();
    void removeListed();
    void finish(bool ok);

    QList<QUrl> m_sites;
    QWebEngineCookieStore *m_store = nullptr;
    std::unique_ptr<QWebEnginePage> m_page;
    QNetworkCookie m_marker;
    QList<QNetworkCookie> m_doomed;
    QTimer m_giveUp;
    bool m_listing = false;
    bool m_removing = false;
};

#endif // WEBENGINECOOKIECLEANER_H
