#ifndef VLWEBVIEW_H
#define VLWEBVIEW_H

#include <QObject>
#include <QPointer>
#include <QUrl>

class BrowserWindow;

// The browser window the login and feed dialogs run in: an 800 × 600
// top-level window with a web view, hidden until show().
//
// urlHasChanged(url) reports every address the main frame reaches (at the
// start of each load, as it progresses, and each navigation, redirects
// included); loadHasFinished(true) ends every load, failed ones too.
//
// Close protocol: however the window closes (close() or its title bar), a
// QCloseEvent is sent to this object, so an event filter on it sees the
// close, and then this object deletes itself, before close() returns.
// Receivers of either signal may close the window, so nothing here touches
// the object after it emitted.
class VlWebView : public QObject
{
    Q_OBJECT
public:
    explicit VlWebView(QObject *parent = nullptr);
    ~VlWebView() override;

    void load(const QUrl &url);
    QUrl url() const;
    void show();
    void close();
    bool isHidden() const;

    void handleClosing();
    void handleLoadStarted();
    void handleLoadChanged(const QUrl &url);
    void handleLoadFinished();

signals:
    void urlHasChanged(QUrl);
    void loadHasFinished(bool);

private:
    QPointer<BrowserWindow> m_window;
};

#endif // VLWEBVIEW_H
