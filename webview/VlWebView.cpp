#include "VlWebView.h"

#include "BrowserWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QWebEngineView>

VlWebView::VlWebView(QObject *parent)
    : QObject(parent)
    , m_window(new BrowserWindow)
{
    connect(m_window, &BrowserWindow::closing, this, &VlWebView::handleClosing);
    connect(m_window, &BrowserWindow::loadStarted, this, &VlWebView::handleLoadStarted);
    connect(m_window, &BrowserWindow::loadChanged, this, &VlWebView::handleLoadChanged);
    connect(m_window, &BrowserWindow::loadFinished, this, &VlWebView::handleLoadFinished);
}

// The window goes with this object: the web engine is torn down from the
// event loop, never inside one of its own signals.
VlWebView::~VlWebView()
{
    if (m_window)
        m_window->dispose();
}

void VlWebView::load(const QUrl &url)
{
    m_window->view()->load(QUrl::fromEncoded(url.toEncoded(QUrl::FullyEncoded)));
}

QUrl VlWebView::url() const
{
    return QUrl::fromEncoded(m_window->currentUrl().toEncoded(), QUrl::TolerantMode);
}

void VlWebView::show()
{
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void VlWebView::close()
{
    m_window->close(); // leads to handleClosing(), which deletes this object
}

bool VlWebView::isHidden() const
{
    return !m_window->isVisible();
}

void VlWebView::handleClosing()
{
    QCloseEvent event;
    QCoreApplication::sendEvent(this, &event);
    // Whatever became of the event: the window is closing.
    delete this;
}

void VlWebView::handleLoadStarted()
{
    emit urlHasChanged(url());
}

void VlWebView::handleLoadChanged(const QUrl &url)
{
    emit urlHasChanged(url);
}

void VlWebView::handleLoadFinished()
{
    emit loadHasFinished(true);
}
