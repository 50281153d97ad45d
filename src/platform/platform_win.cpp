// The operating system on Windows: the console's control handler and a hidden window for the
// session's end, SetThreadExecutionState, %LOCALAPPDATA%, and FILE_APPEND_DATA. Windows calls the
// control handler on a thread of its own; for a closing console the process ends when the handler
// returns, so the handler waits until the watcher is destroyed, after the ports are closed.
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QProcess>

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include <windows.h>

namespace qx::platform {

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

// A console program that has loaded user32 (Qt does) is told of a log off or a shut down not by
// its control handler but as WM_QUERYENDSESSION and WM_ENDSESSION, which go to top-level
// windows: a hidden one hears them for the command line. A window program's own windows hear
// them there, and Qt says aboutToQuit.
constexpr wchar_t kSessionWindowClass[] = L"QX-LP4R session end";

LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message == WM_ENDSESSION) {
        // At once: the process may be ended as soon as this returns.
        if (InterruptWatcher* to = watcher.load(); to && wParam)
            emit to->interrupted(QStringLiteral("the session ends"));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

struct InterruptWatcher::Impl
{
    HWND sessionWindow = nullptr;
};

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    watcher = this;
    released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && !app->inherits("QGuiApplication")) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = onSessionMessage;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kSessionWindowClass;
        RegisterClassW(&windowClass); // fails harmlessly when registered already
        d->sessionWindow = CreateWindowExW(0, kSessionWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                           nullptr, nullptr, windowClass.hInstance, nullptr);
    }
}

InterruptWatcher::~InterruptWatcher()
{
    if (d->sessionWindow)
        DestroyWindow(d->sessionWindow);
    watcher = nullptr;
    SetEvent(released); // a closing console's handler may return now: the ports are closed
}

namespace {
QString lastError()
{
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return QStringLiteral("another program holds it open (a spreadsheet?)");
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString message = n ? QString::fromWCharArray(text, int(n)).trimmed()
                              : QStringLiteral("Windows error %1").arg(error);
    LocalFree(text);
    return message;
}
} // namespace

namespace {
int holds = 0; // the execution state is the thread's, not each hold's
} // namespace

struct SleepHold::Impl
{
    bool held = false;
};

SleepHold::SleepHold(QObject* parent) : QObject(parent), d(std::make_unique<Impl>()) {}

SleepHold::~SleepHold()
{
    release();
}

void SleepHold::hold(const QString&)
{
    if (std::exchange(d->held, true) || holds++ > 0)
        return;
    if (!SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED)) {
        static bool named = false;
        if (!std::exchange(named, true))
            std::fprintf(stderr, "qx-lp4r-updater: the machine may sleep during an update: %s\n",
                         qPrintable(lastError()));
    }
}

void SleepHold::release()
{
    if (std::exchange(d->held, false) && --holds == 0)
        SetThreadExecutionState(ES_CONTINUOUS);
}

QString serviceRecordFolder()
{
    return QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA")) +
           "/QX-LP4R Firmware Updater";
}

QString defaultProfilePath()
{
    return QDir::fromNativeSeparators(qEnvironmentVariable("ProgramData")) +
           "/QX-LP4R Firmware Updater/station.ini";
}

bool isAdministrator()
{
    // An administrator's token is split in two until elevated: only the elevated one counts.
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated;
    if (token)
        CloseHandle(token);
    return elevated;
}

bool userMayWrite(const QString& path)
{
    // Asked of the file system's own access check, as the running user: the ACL decides, not
    // the read-only attribute alone.
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    const HANDLE handle =
        CreateFileW(name.c_str(), folder ? FILE_ADD_FILE : FILE_WRITE_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

QString userName()
{
    wchar_t name[256];
    DWORD size = 256;
    return GetUserNameW(name, &size) ? QString::fromWCharArray(name)
                                     : qEnvironmentVariable("USERNAME");
}

bool createWith(const QString& path, const QByteArray& bytes)
{
    // Written whole under a name of its own, then moved into place: without
    // MOVEFILE_REPLACE_EXISTING the move refuses an existing path.
    const std::wstring temporary =
        QDir::toNativeSeparators(path + QStringLiteral(".%1.tmp").arg(GetCurrentProcessId()))
            .toStdWString();
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    const bool written = WriteFile(file, bytes.constData(), DWORD(bytes.size()), &done, nullptr) &&
                         done == DWORD(bytes.size());
    CloseHandle(file);
    const bool moved =
        written &&
        MoveFileExW(temporary.c_str(), QDir::toNativeSeparators(path).toStdWString().c_str(), 0);
    DeleteFileW(temporary.c_str());
    return moved;
}

void printLine(std::FILE* stream, const QString& line)
{
    // A console shows UTF-16 as it is; a pipe or a file gets UTF-8, whatever the code page, so
    // that --json's readers get what they read on Linux.
    const QString whole = line + '\n';
    const HANDLE handle = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    std::fflush(stream);
    if (handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) &&
        ::WriteConsoleW(handle, whole.utf16(), DWORD(whole.size()), &written, nullptr))
        return;
    const QByteArray bytes = whole.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream); // whole, at once
    std::fflush(stream);
}

void endsWithThisProcess(QProcess& process)
{
    // One job for the process's children, which ends them all when its last handle closes: when
    // this process ends, however it ends. Where jobs are refused, the child ends with its input.
    static const HANDLE job = [] {
        const HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made)
            ::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits);
        return made;
    }();
    QObject::connect(&process, &QProcess::started, &process, [&process] {
        if (!job)
            return;
        if (const HANDLE child = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE,
                                               DWORD(process.processId()))) {
            ::AssignProcessToJobObject(job, child);
            ::CloseHandle(child);
        }
    });
}

QString appendWhole(const QString& path, const QByteArray& bytes)
{
    // FILE_APPEND_DATA, and no other write access: every write lands at the end. Windows itself
    // keeps two such writes apart, Wine does not; so the writers also take turns on one byte far
    // past any end, which no reader of the record ever touches.
    const HANDLE file =
        CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(),
                    FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    OVERLAPPED turn{};
    turn.Offset = 0;
    turn.OffsetHigh = 0x7FFFFFFF;
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
    LARGE_INTEGER before{}, after{};
    const bool sized = locked && GetFileSizeEx(file, &before);
    DWORD done = 0;
    const bool written = WriteFile(file, bytes.constData(), DWORD(bytes.size()), &done, nullptr);
    const QString error = written ? QString() : lastError();
    // A write cut short (a full disk) is cut back while it is still our turn: no fragment stays
    // for the next line to be appended to.
    if (done > 0 && done < DWORD(bytes.size()) && sized && GetFileSizeEx(file, &after) &&
        after.QuadPart == before.QuadPart + done) {
        const HANDLE cut = CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(),
                                       GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (cut != INVALID_HANDLE_VALUE) {
            if (SetFilePointerEx(cut, before, nullptr, FILE_BEGIN))
                SetEndOfFile(cut);
            CloseHandle(cut);
        }
    }
    // On the disk before the outcome is over: a laptop that loses power keeps its line. A
    // failed flush is not a failed write: writing the line again would make it twice.
    if (written && done == DWORD(bytes.size()))
        FlushFileBuffers(file);
    if (locked)
        UnlockFileEx(file, 0, 1, 0, &turn);
    CloseHandle(file);
    if (!written)
        return error;
    return done == DWORD(bytes.size())
               ? QString()
               : QStringLiteral("only part of it was written (the disk is full?)");
}

} // namespace qx::platform
