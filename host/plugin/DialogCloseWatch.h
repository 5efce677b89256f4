#ifndef DIALOGCLOSEWATCH_H
#define DIALOGCLOSEWATCH_H

#include <QObject>

class QWidget;

// Tells when the plug-in's browser window, once shown, has been closed. The
// feed dialog reports only a post; a user who closes the window instead
// gets no callback, and the host must not wait for one for ever.
class DialogCloseWatch : public QObject
{
    Q_OBJECT
public:
    // hostWindow: the host's own window, which does not count (may be null).
    explicit DialogCloseWatch(QWidget *hostWindow, QObject *parent = nullptr);

    void start();
    void stop(); // the dialog answered

signals:
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isDialog(QObject *object) const;
    bool dialogVisible() const;
    void checkClosed();

    QWidget *m_hostWindow;
    bool m_active = false;
    bool m_seen = false;
};

#endif // DIALOGCLOSEWATCH_H
