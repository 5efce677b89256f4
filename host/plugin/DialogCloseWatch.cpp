#include "DialogCloseWatch.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>

DialogCloseWatch::DialogCloseWatch(QWidget *hostWindow, QObject *parent)
    : QObject(parent)
    , m_hostWindow(hostWindow)
{
}

void DialogCloseWatch::start()
{
    m_seen = dialogVisible();
    if (!m_active)
        qApp->installEventFilter(this);
    m_active = true;
}

void DialogCloseWatch::stop()
{
    if (m_active)
        qApp->removeEventFilter(this);
    m_active = false;
}

bool DialogCloseWatch::isDialog(QObject *object) const
{
    auto *widget = qobject_cast<QWidget *>(object);
    // A tooltip or a menu that comes and goes meanwhile is no dialog.
    return widget && widget->isWindow() && widget != m_hostWindow && widget->windowType() != Qt::ToolTip
        && widget->windowType() != Qt::Popup;
}

bool DialogCloseWatch::dialogVisible() const
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.cbegin(), windows.cend(),
                       [this](QWidget *window) { return isDialog(window) && window->isVisible(); });
}

bool DialogCloseWatch::eventFilter(QObject *watched, QEvent *event)
{
    if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) && isDialog(watched)) {
        if (event->type() == QEvent::Show)
            m_seen = true;
        else
            // The plug-in closes its window before it calls back with the
            // post: look once that has had its turn.
            QTimer::singleShot(0, this, &DialogCloseWatch::checkClosed);
    }
    return QObject::eventFilter(watched, event);
}

void DialogCloseWatch::checkClosed()
{
    if (!m_active || !m_seen || dialogVisible())
        return;
    stop();
    emit closed();
}
