#ifndef BROWSERPAGE_H
#define BROWSERPAGE_H

#include <QString>
#include <QVariant>

class BrowserWindow;

// Drives the page in the plug-in's visible browser window, as a user would.
namespace BrowserPage {
BrowserWindow *visibleWindow();
// Runs JavaScript in the visible window's page; the result, or invalid.
QVariant evaluate(const QString &script);
bool has(const char *elementId);
// The "state" item of the address the visible window shows (a login dialog).
QString loginState();
}

#endif // BROWSERPAGE_H
