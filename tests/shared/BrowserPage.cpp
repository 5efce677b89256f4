#include "BrowserPage.h"

#include "webview/BrowserWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QUrlQuery>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace BrowserPage {

BrowserWindow *visibleWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

QVariant evaluate(const QString &script)
{
    BrowserWindow *window = visibleWindow();
    if (!window)
        return {};
    QVariant result;
    bool done = false;
    window->view()->page()->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return result;
}

bool has(const char *elementId)
{
    return evaluate(QStringLiteral("!!document.getElementById('%1')").arg(QLatin1String(elementId))).toBool();
}

QString loginState()
{
    BrowserWindow *window = visibleWindow();
    return window ? QUrlQuery(window->view()->url()).queryItemValue(QStringLiteral("state")) : QString();
}

} // namespace BrowserPage
