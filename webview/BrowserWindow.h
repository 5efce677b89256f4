#ifndef BROWSERWINDOW_H
#define BROWSERWINDOW_H

#include <QUrl>
#include <QWidget>

class QWebEngineView;

// The platform side of the browser window: a top-level window with a web
// view in it, reporting what happens to it as four signals. VlWebView turns
// them into the plug-in's protocol. Its title shows the site of the page and
// whether the connection is secure; only http(s) pages load in it.
//
// The web engine must not be torn down inside one of its own signals, and a
// web view that outlives the application object crashes the process: windows
// are deleted later (dispose()), and any still alive when the application
// goes away are deleted just before it does.
class BrowserWindow : public QWidget
{
    Q_OBJECT
public:
    BrowserWindow();
    ~BrowserWindow() override;

    QWebEngineView *view() const { return m_view; }
    QUrl currentUrl() const;

    // Hides the window at once and deletes it from the event loop.
    void dispose();

signals:
    void loadStarted();
    void loadChanged(const QUrl &url); // progress, or the main frame reached url
    void loadFinished();
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showWhereItIs(const QUrl &url);

    QWebEngineView *m_view; // child widget
};

#endif // BROWSERWINDOW_H
