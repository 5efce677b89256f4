#ifndef INTERRUPTWATCH_H
#define INTERRUPTWATCH_H

#include <QObject>

class QSocketNotifier;

// Turns the first Ctrl+C (SIGINT) into a signal on the GUI thread, so that a
// command can stop cleanly; a second Ctrl+C ends the process as usual.
class InterruptWatch : public QObject
{
    Q_OBJECT
public:
    explicit InterruptWatch(QObject *parent = nullptr);
    ~InterruptWatch() override;

signals:
    void interrupted();

private:
    QSocketNotifier *m_notifier = nullptr;
};

#endif // INTERRUPTWATCH_H
