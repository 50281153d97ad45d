// InterruptWatcher on Windows: the console's control handler, which Windows calls on a thread
// of its own. For a closing console the process ends when the handler returns, so the handler
// waits until the watcher is destroyed, after the ports are closed.
#include "interrupts.h"

#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace qx::serial {

namespace {
std::atomic<InterruptWatcher*> watcher = nullptr;
HANDLE released = nullptr;            // set once the watcher is gone
constexpr DWORD kCloseGraceMs = 4500; // Windows ends a closing console's process after 5 s

BOOL WINAPI onControl(DWORD type)
{
    InterruptWatcher* to = watcher.load();
    if (!to)
        return FALSE; // past the watcher's life: Windows' own handling ends the process
    const QString what = type == CTRL_C_EVENT       ? QStringLiteral("Ctrl+C")
                         : type == CTRL_BREAK_EVENT ? QStringLiteral("Ctrl+Break")
                                                    : QStringLiteral("the console went away");
    QMetaObject::invokeMethod(
        to, [to, what] { emit to->interrupted(what); }, Qt::QueuedConnection);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(released, kCloseGraceMs);
    return TRUE;
}
} // namespace

struct InterruptWatcher::Impl
{
};

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    watcher = this;
    released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
}

InterruptWatcher::~InterruptWatcher()
{
    watcher = nullptr;
    SetEvent(released); // a closing console's handler may return now: the ports are closed
}

} // namespace qx::serial
