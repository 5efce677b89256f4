#include "InterruptWatch.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only write to a descriptor: the event loop reads it.
int s_wakeUp[2] = { -1, -1 };

void onInterrupt(int)
{
    const char byte = 'i';
    [[maybe_unused]] const ssize_t written = ::write(s_wakeUp[0], &byte, 1);
}

} // namespace

InterruptWatch::InterruptWatch(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_wakeUp) != 0)
        return;
    m_notifier = new QSocketNotifier(s_wakeUp[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        if (::read(s_wakeUp[1], &byte, 1) == 1)
            emit interrupted();
    });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND | SA_RESTART; // the next Ctrl+C is the usual one
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

InterruptWatch::~InterruptWatch()
{
    if (!m_notifier)
        return;
    ::signal(SIGINT, SIG_DFL);
    delete m_notifier;
    ::close(s_wakeUp[0]);
    ::close(s_wakeUp[1]);
    s_wakeUp[0] = s_wakeUp[1] = -1;
}
