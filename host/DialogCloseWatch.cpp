#include "DialogCloseWatch.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>

namespace {
constexpr int checkIntervalMs = 200;
}

DialogCloseWatch::DialogCloseWatch(QWidget *hostWindow, QObject *parent)
    : QObject(parent)
    , m_hostWindow(hostWindow)
{
    m_timer.setInterval(checkIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &DialogCloseWatch::check);
}

void DialogCloseWatch::start()
{
    m_seen = false;
    m_timer.start();
}

void DialogCloseWatch::stop()
{
    m_timer.stop();
}

bool DialogCloseWatch::dialogVisible() const
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.cbegin(), windows.cend(), [this](const QWidget *window) {
        return window != m_hostWindow && window->isVisible();
    });
}

// The plug-in calls back before it closes its window, so a window gone with
// no callback by the next check means the user closed it.
void DialogCloseWatch::check()
{
    if (dialogVisible()) {
        m_seen = true;
        return;
    }
    if (m_seen) {
        m_timer.stop();
        emit closed();
    }
}
