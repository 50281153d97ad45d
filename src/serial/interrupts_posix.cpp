// InterruptWatcher on POSIX: SIGINT, SIGTERM and SIGHUP through a self-pipe.
#include "interrupts.h"

#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace qx::serial {

namespace {
int pipeIn = -1; // the handler's end: async-signal-safe write() only

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(pipeIn, &byte, 1);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
} // namespace

struct InterruptWatcher::Impl
{
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
};

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    if (::pipe2(d->fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // no watching: a signal then ends the process, and the kernel closes the ports
    pipeIn = d->fds[1];
    d->notifier = std::make_unique<QSocketNotifier>(d->fds[0], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        char number = 0;
        while (::read(d->fds[0], &number, 1) == 1)
            emit interrupted(number == SIGINT   ? QStringLiteral("Ctrl+C")
                             : number == SIGHUP ? QStringLiteral("the terminal went away")
                                                : QStringLiteral("asked to stop"));
    });
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    if (d->fds[0] < 0)
        return;
    for (int number : kSignals)
        std::signal(number, SIG_DFL);
    pipeIn = -1;
    ::close(d->fds[0]);
    ::close(d->fds[1]);
}

} // namespace qx::serial
