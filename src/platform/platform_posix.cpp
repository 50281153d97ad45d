// The operating system on Linux: SIGINT, SIGTERM and SIGHUP through a self-pipe, logind's
// inhibitor locks, the XDG state folder, and O_APPEND with fsync.
#include "platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx::platform {

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
    // A closed pipe or terminal on standard output ends no update: the write fails, and the
    // line it carried is dropped.
    std::signal(SIGPIPE, SIG_IGN);
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

namespace {
bool sleepRefusalNamed = false;

void nameRefusal(const QString& why)
{
    if (std::exchange(sleepRefusalNamed, true))
        return;
    std::fprintf(stderr, "qx-lp4r-updater: the machine may sleep during an update: %s\n",
                 qPrintable(why));
}
} // namespace

struct SleepHold::Impl
{
    QDBusUnixFileDescriptor lock; // held while open: logind releases it when it is closed
    std::unique_ptr<QDBusPendingCallWatcher> asking;
    bool wanted = false;
};

SleepHold::SleepHold(QObject* parent) : QObject(parent), d(std::make_unique<Impl>()) {}

SleepHold::~SleepHold() = default;

void SleepHold::hold(const QString& why)
{
    d->wanted = true;
    if (d->lock.isValid() || d->asking)
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        nameRefusal("there is no system bus (" + bus.lastError().message() + ")");
        return;
    }
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    inhibit << QStringLiteral("sleep:idle") << QStringLiteral("QX-LP4R Firmware Updater") << why
            << QStringLiteral("block");
    // Asked without waiting: the update goes on whatever logind answers, and when.
    d->asking = std::make_unique<QDBusPendingCallWatcher>(bus.asyncCall(inhibit));
    connect(d->asking.get(), &QDBusPendingCallWatcher::finished, this, [this] {
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *d->asking;
        if (reply.isError())
            nameRefusal("logind refused (" + reply.error().message() + ")");
        else if (d->wanted)
            d->lock = reply.value();
        d->asking.release()->deleteLater(); // its reply's copy of the lock goes with it
    });
}

void SleepHold::release()
{
    d->wanted = false;
    d->lock = QDBusUnixFileDescriptor();
}

QString serviceRecordFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state)) // unset or relative: XDG's default
        state = QDir::homePath() + "/.local/state";
    return state + "/qx-lp4r-updater";
}

QString defaultProfilePath()
{
    return QStringLiteral("/etc/qx-lp4r-updater/station.ini");
}

bool isAdministrator()
{
    return ::geteuid() == 0;
}

bool userMayWrite(const QString& path)
{
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

QString userName()
{
    if (const passwd* user = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(::geteuid());
}

int (*makeHardLink)(const char* from, const char* to) = ::link;

bool createWith(const QString& path, const QByteArray& bytes)
{
    // Written whole under a name of its own, then put in place by a call that refuses an
    // existing path, so that a second program's record is never replaced: link(), or where
    // the file system has no hard links (FAT, exFAT, many SMB shares) a rename that does not
    // replace. Only where neither exists is the file made in place, and seen empty briefly.
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
    ::fchmod(fd, 0644); // mkstemp's 0600 would hide the record from the user's other tools
    const bool written =
        ::write(fd, bytes.constData(), std::size_t(bytes.size())) == bytes.size() &&
        ::fsync(fd) == 0;
    ::close(fd);
    bool placed = written && makeHardLink(temporary.constData(), target.constData()) == 0;
    const bool noLinks = !placed && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS ||
                                     errno == EMLINK || errno == EXDEV);
    if (written && noLinks) {
        placed = ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(),
                             RENAME_NOREPLACE) == 0;
        if (!placed && errno == EINVAL) { // no such rename either
            const int made =
                ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            placed = made >= 0 &&
                     ::write(made, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
            if (made >= 0)
                ::close(made);
        }
    }
    ::unlink(temporary.constData()); // gone already when it was renamed
    return placed;
}

void printLine(std::FILE* stream, const QString& line)
{
    const QByteArray bytes = (line + '\n').toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream); // whole, at once
    std::fflush(stream);
}

void endsWithThisProcess(QProcess& process)
{
    // Between fork and exec, in the child. The signal comes when the thread that started it
    // ends: this is the main thread, so when the process ends. A parent gone already meanwhile
    // is seen as a new parent.
    process.setChildProcessModifier([parent = ::getpid()] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
    });
}

QString appendWhole(const QString& path, const QByteArray& bytes)
{
    // A file size limit ends the write short rather than the program.
    static const bool sizeLimitSignalIgnored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    Q_UNUSED(sizeLimitSignalIgnored);
    // O_NONBLOCK: a FIFO put in the record's place refuses at once instead of waiting for a
    // reader; on a regular file it changes nothing.
    const int fd =
        ::open(QFile::encodeName(path), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat before
    {
    };
    const bool sized = ::fstat(fd, &before) == 0;
    const ssize_t written = ::write(fd, bytes.constData(), std::size_t(bytes.size()));
    const int error = errno;
    struct stat after
    {
    };
    if (written >= 0 && written < bytes.size() && sized && ::fstat(fd, &after) == 0 &&
        after.st_size == before.st_size + written) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size); // no fragment stays
    }
    // On the disk before the outcome is over: a laptop that loses power keeps its line. A
    // failed flush is not a failed write: the line is in the file, and writing it again would
    // make it twice.
    if (written == bytes.size())
        ::fsync(fd);
    ::close(fd);
    if (written == bytes.size())
        return QString();
    return written < 0 ? QString::fromLocal8Bit(std::strerror(error))
                       : QStringLiteral("only part of it was written (the disk is full?)");
}

} // namespace qx::platform
