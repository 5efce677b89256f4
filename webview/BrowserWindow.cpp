#include "BrowserWindow.h"

#include "LoginProfile.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

// Every window alive; deleted before the application object is.
QSet<BrowserWindow *> &liveWindows()
{
    static QSet<BrowserWindow *> windows;
    return windows;
}

void deleteLiveWindows()
{
    const QSet<BrowserWindow *> windows = liveWindows();
    for (BrowserWindow *window : windows)
        delete window;
    LoginProfile::release(); // its pages are gone: it writes its cookies out
}

bool isWebAddress(const QUrl &url)
{
    return url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http");
}

// Tells the window about every main-frame navigation before it happens,
// server redirects included: the address a dialog ends on may carry its
// answer after '#' and may itself never load. The window shows web pages
// only: a link to a file, data or script address is refused.
class ObservedPage : public QWebEnginePage
{
public:
    ObservedPage(QObject *parent, BrowserWindow *window)
        : QWebEnginePage(LoginProfile::profile(), parent)
        , m_window(window)
    {
    }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool isMainFrame) override
    {
        if (!isMainFrame)
            return true;
        if (!isWebAddress(url))
            return false;
        if (m_window)
            emit m_window->loadChanged(url);
        return true;
    }

private:
    QPointer<BrowserWindow> m_window;
};

} // namespace

BrowserWindow::BrowserWindow()
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                            | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)
{
    // The engine tears itself down when the application quits and again as
    // the application object goes; windows must be gone before either. The
    // quit handler is connected before the first view starts the engine, so
    // it runs ahead of the engine's own.
    static bool quitHandled = false;
    if (!quitHandled) {
        connect(qApp, &QCoreApplication::aboutToQuit, qApp, deleteLiveWindows);
        quitHandled = true;
    }
    liveWindows().insert(this);
    m_view = new QWebEngineView(this);

    // The page is the view's child, so it dies before the profile does.
    m_view->setPage(new ObservedPage(m_view, this));
    // Only now: the first page brought the engine's own clean-up routine,
    // and routines run last-added first, so ours must come after it.
    static bool cleanupRegistered = false;
    if (!cleanupRegistered) {
        qAddPostRoutine(deleteLiveWindows);
        cleanupRegistered = true;
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(800, 600);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    connect(m_view, &QWebEngineView::loadStarted, this, &BrowserWindow::loadStarted);
    connect(m_view, &QWebEngineView::loadProgress, this, [this] { emit loadChanged(currentUrl()); });
    connect(m_view, &QWebEngineView::urlChanged, this, &BrowserWindow::loadChanged);
    connect(m_view, &QWebEngineView::urlChanged, this, &BrowserWindow::showWhereItIs);
    connect(m_view, &QWebEngineView::loadFinished, this, &BrowserWindow::loadFinished);
}

BrowserWindow::~BrowserWindow()
{
    liveWindows().remove(this);
}

// As a browser's address bar would: which site the page is from, and
// whether the connection to it is private, so a page linked from the login
// cannot pass itself off as the login page.
void BrowserWindow::showWhereItIs(const QUrl &url)
{
    if (url.isEmpty())
        return;
    const bool secure = url.scheme() == QLatin1String("https");
    const QString site = url.port() < 0 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
    setWindowTitle(QStringLiteral("%1 — %2").arg(site, secure ? tr("secure connection") : tr("not secure")));
}

QUrl BrowserWindow::currentUrl() const
{
    return m_view->url();
}

void BrowserWindow::dispose()
{
    hide();
    disconnect(this, nullptr, nullptr, nullptr);
    m_view->page()->disconnect(this);
    m_view->disconnect(this);
    deleteLater();
}

void BrowserWindow::closeEvent(QCloseEvent *event)
{
    // Every close, by the title bar or by close(): the window goes away.
    event->accept();
    emit closing();
}
