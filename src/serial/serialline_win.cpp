// SerialLine over the Win32 communications API, and the port list from the registry's serial
// device map. One I/O thread owns ReadFile and WriteFile; the window's thread never waits on
// the wire.
#include "serialline.h"

#include <QMetaObject>
#include <QWinEventNotifier>

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <mmsystem.h>

namespace qx::serial {

namespace {

// Reads return at once with what the driver holds: a read that waited for the first byte on
// a synchronous handle would hold up every write behind it, and Wine never completes an
// overlapped one. So the thread polls, kPollMs apart.
constexpr COMMTIMEOUTS kPollingTimeouts{MAXDWORD, 0, 0, 0, 0};
constexpr DWORD kPollMs = 1;
constexpr DWORD kReadChunk = 4096;

QString systemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message = n ? QString::fromWCharArray(text, int(n)).trimmed()
                        : QStringLiteral("Windows error %1").arg(error);
    LocalFree(text);
    return message;
}

// The SERIALCOMM values in the registry's order, whole; enumComPorts decides what fits.
QList<MapValue> readSerialComm()
{
    QList<MapValue> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return values;
    DWORD nameChars = 0, dataBytes = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &nameChars, &dataBytes, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<wchar_t> name(nameChars + 1);
        std::vector<wchar_t> data(dataBytes / sizeof(wchar_t) + 1);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = DWORD(name.size());
            DWORD dataLength = DWORD(data.size() * sizeof(wchar_t));
            if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(data.data()), &dataLength) != ERROR_SUCCESS)
                break; // no more values, or the key changed under us
            QString port = QString::fromWCharArray(data.data(), int(dataLength / sizeof(wchar_t)));
            while (port.endsWith(QChar(0)))
                port.chop(1);
            values.append({QString::fromWCharArray(name.data(), int(nameLength)), port});
        }
    }
    RegCloseKey(key);
    return values;
}

} // namespace

QList<MapEntry> systemDeviceMap()
{
    return mapFromValues(readSerialComm());
}

struct SerialLine::Impl
{
    SerialLine* q = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    HANDLE wake = nullptr; // a write is waiting, or the thread is to stop

    // Shared with the I/O thread.
    std::mutex mutex;
    std::condition_variable arrived;
    QByteArray received;    // read from the driver, not yet by the window
    QByteArray toSend;      // handed over by the window, not yet to the driver
    bool stop = false;      // close() asks the thread to end
    bool failed = false;    // the line is gone; the thread has ended
    bool notifying = false; // a readyRead is on its way to the window's thread

    static DWORD WINAPI threadMain(void* self)
    {
        static_cast<Impl*>(self)->run();
        return 0;
    }

    void run()
    {
        timeBeginPeriod(kPollMs); // else a 1 ms wait lasts a 15.6 ms clock tick
        std::vector<char> chunk(kReadChunk);
        for (;;) {
            QByteArray out;
            {
                std::lock_guard lock(mutex);
                if (stop)
                    break;
                out.swap(toSend);
            }
            DWORD done = 0;
            if (!out.isEmpty() &&
                !WriteFile(handle, out.constData(), DWORD(out.size()), &done, nullptr)) {
                fail(GetLastError());
                break;
            }
            bool got = false;
            DWORD readError = ERROR_SUCCESS;
            {
                // Under the lock, so that a clear of the input drops exactly what came before
                // it; the read returns at once.
                std::lock_guard lock(mutex);
                if (!ReadFile(handle, chunk.data(), kReadChunk, &done, nullptr)) {
                    readError = GetLastError();
                } else if (done > 0) {
                    got = true;
                    received.append(chunk.data(), qsizetype(done));
                    arrived.notify_all();
                    if (!notifying) {
                        notifying = true;
                        QMetaObject::invokeMethod(
                            q, [this] { notify(); }, Qt::QueuedConnection);
                    }
                }
            }
            if (readError != ERROR_SUCCESS) {
                fail(readError);
                break;
            }
            if (!got)
                WaitForSingleObject(wake, kPollMs);
        }
        timeEndPeriod(kPollMs);
    }

    void notify()
    {
        {
            std::lock_guard lock(mutex);
            notifying = false;
        }
        emit q->readyRead();
    }

    void fail(DWORD error)
    {
        {
            std::lock_guard lock(mutex);
            failed = true;
            if (stop)
                return; // our own close cancelled the I/O
        }
        const QString description = systemMessage(error);
        QMetaObject::invokeMethod(
            q,
            [this, description] {
                if (handle != INVALID_HANDLE_VALUE)
                    emit q->lineGone(description);
            },
            Qt::QueuedConnection);
    }

    DCB state() const
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle, &dcb))
            throw CommError(QStringLiteral("The line settings could not be read: %1")
                                .arg(systemMessage(GetLastError())));
        return dcb;
    }

    void setState(DCB dcb, const char* what) const
    {
        if (!SetCommState(handle, &dcb))
            throw CommError(QStringLiteral("%1 refused: %2")
                                .arg(QLatin1String(what), systemMessage(GetLastError())));
    }
};

SerialLine::SerialLine(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    d->q = this;
    d->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

SerialLine::~SerialLine()
{
    close();
    CloseHandle(d->wake);
}

void SerialLine::open(const MapEntry& entry)
{
    const int comNumber = entry.comNumber;
    // The COM name is the device: \\.\COM<n> reaches every number, COM10 and above included.
    const std::wstring path = L"\\\\.\\COM" + std::to_wstring(comNumber);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A COM port that another program holds answers "access denied".
        const OpenFailure failure =
            error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenFailure::Missing
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? OpenFailure::InUse
                                                                               : OpenFailure::Other;
        throw CommError(openFailureText(failure, comNumber, QString()), failure);
    }
    d->handle = handle;
    try {
        COMMTIMEOUTS timeouts = kPollingTimeouts;
        if (!SetCommTimeouts(handle, &timeouts))
            throw CommError(QStringLiteral("COM%1 refused its time-outs: %2")
                                .arg(comNumber)
                                .arg(systemMessage(GetLastError())));
        // Raw bytes, no flow control of any kind, nothing replaced or dropped.
        DCB dcb = d->state();
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        d->setState(dcb, "The port's settings were");
        PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    } catch (...) {
        CloseHandle(handle);
        d->handle = INVALID_HANDLE_VALUE;
        throw;
    }
    d->stop = d->failed = d->notifying = false;
    d->thread = CreateThread(nullptr, 0, &Impl::threadMain, d.get(), 0, nullptr);
    if (!d->thread) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        d->handle = INVALID_HANDLE_VALUE;
        throw CommError(QStringLiteral("COM%1 could not be opened: %2")
                            .arg(comNumber)
                            .arg(systemMessage(error)));
    }
}

void SerialLine::close()
{
    if (d->handle == INVALID_HANDLE_VALUE)
        return;
    {
        std::lock_guard lock(d->mutex);
        d->stop = true;
    }
    SetEvent(d->wake);
    CancelSynchronousIo(d->thread); // a write still draining onto the wire
    WaitForSingleObject(d->thread, INFINITE);
    CloseHandle(d->thread);
    CloseHandle(d->handle);
    d->thread = nullptr;
    d->handle = INVALID_HANDLE_VALUE;
    d->received.clear();
    d->toSend.clear();
}

bool SerialLine::isOpen() const
{
    return d->handle != INVALID_HANDLE_VALUE;
}

LowLatency SerialLine::lowLatency() const
{
    return LowLatency::NotAsked; // Windows keeps the latency timer in the driver's settings
}

void SerialLine::setLine(const LineSettings& s)
{
    DCB dcb = d->state();
    dcb.BaudRate = DWORD(s.baudRate);
    dcb.ByteSize = BYTE(s.dataBits);
    switch (s.parity) {
    case Parity::None:
        dcb.Parity = NOPARITY;
        break;
    case Parity::Even:
        dcb.Parity = EVENPARITY;
        break;
    case Parity::Odd:
        dcb.Parity = ODDPARITY;
        break;
    case Parity::Mark:
        dcb.Parity = MARKPARITY;
        break;
    case Parity::Space:
        dcb.Parity = SPACEPARITY;
        break;
    }
    dcb.fParity = s.parity != Parity::None;
    dcb.StopBits = s.stopBits == StopBits::One          ? ONESTOPBIT
                   : s.stopBits == StopBits::OneAndHalf ? ONE5STOPBITS
                                                        : TWOSTOPBITS;
    d->setState(dcb, "The line settings were");
}

void SerialLine::setRtsCts(bool on)
{
    DCB dcb = d->state();
    dcb.fOutxCtsFlow = on;
    dcb.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d->setState(dcb, "Handshaking");
}

void SerialLine::setDtr(bool on)
{
    if (EscapeCommFunction(d->handle, on ? SETDTR : CLRDTR))
        return;
    // Some adapters (and Wine's pseudo-terminals) have no modem-control lines: not a fault.
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
        error == ERROR_INVALID_PARAMETER)
        return;
    throw CommError(QStringLiteral("DTR refused: %1").arg(systemMessage(error)));
}

void SerialLine::clearInput()
{
    std::lock_guard lock(d->mutex);
    PurgeComm(d->handle, PURGE_RXCLEAR);
    d->received.clear();
}

void SerialLine::clearOutput()
{
    {
        std::lock_guard lock(d->mutex);
        d->toSend.clear();
    }
    PurgeComm(d->handle, PURGE_TXCLEAR);
}

void SerialLine::write(std::span<const std::uint8_t> bytes)
{
    {
        std::lock_guard lock(d->mutex);
        if (d->failed)
            throw CommError(QStringLiteral("Write refused: the port is gone."));
        d->toSend.append(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    }
    SetEvent(d->wake);
}

qint64 SerialLine::bytesAvailable() const
{
    std::lock_guard lock(d->mutex);
    return d->received.size();
}

QByteArray SerialLine::readAll()
{
    std::lock_guard lock(d->mutex);
    return std::exchange(d->received, QByteArray());
}

bool SerialLine::waitForReadyRead(int ms)
{
    std::unique_lock lock(d->mutex);
    return d->arrived.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        return !d->received.isEmpty() || d->failed;
    }) && !d->received.isEmpty();
}

// ---- Ports coming and going, and what a path is ----------------------------------------

struct DeviceWatcher::Impl
{
    HKEY key = nullptr;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::unique_ptr<QWinEventNotifier> notifier;

    // One notification an arming. The whole device map is watched: SERIALCOMM itself is made
    // when the first port appears and goes with the last.
    bool arm()
    {
        return key && RegNotifyChangeKeyValue(key, TRUE,
                                              REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                              event, TRUE) == ERROR_SUCCESS;
    }
};

DeviceWatcher::DeviceWatcher(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP", 0, KEY_NOTIFY, &d->key) !=
            ERROR_SUCCESS ||
        !d->arm())
        return; // no news of ports: the list stays as read
    d->notifier = std::make_unique<QWinEventNotifier>(d->event);
    connect(d->notifier.get(), &QWinEventNotifier::activated, this, [this] {
        d->arm();
        emit changed();
    });
}

DeviceWatcher::~DeviceWatcher()
{
    d->notifier.reset();
    if (d->key)
        RegCloseKey(d->key);
    CloseHandle(d->event);
}

void DeviceWatcher::watchFoldersOf(const QStringList&) {} // every port is in the device map

QString notASerialDevice(const QString&)
{
    return QString(); // a port is named COM<n> here, never by a path
}

} // namespace qx::serial
