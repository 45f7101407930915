// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include <windows.h>

namespace qn480 {

namespace {

// How long a write may wait for room in a full transmit queue before the rest is dropped
// (the transaction's time-out then covers it). A full request takes 89 ms at 115200 baud.
constexpr DWORD kWriteTimeoutMs = 200;
// Queue sizes asked of the driver: several frames either way.
constexpr DWORD kQueueSize = 4096;

// Errors a read, a write or a status query gives once the device has gone: an unplugged
// USB adaptor, a line hung up under Wine.
bool isLossError(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_HANDLE_EOF:
    case ERROR_INVALID_HANDLE:
    case ERROR_IO_DEVICE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

std::string systemText(DWORD error)
{
    char *text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = length > 0 && text ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EBUSY;
    default:
        return EIO;
    }
}

std::string openReason(DWORD error, const std::string &device)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such device: " + device;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Opened without sharing: a second open of a port is refused so.
        return device + " is in use by another program";
    default:
        return device + ": " + systemText(error);
    }
}

BYTE parityOf(char parity)
{
    switch (parity) {
    case 'e':
        return EVENPARITY;
    case 'o':
        return ODDPARITY;
    case 'm':
        return MARKPARITY;
    case 's':
        return SPACEPARITY;
    default:
        return NOPARITY;
    }
}

// "COM3" opens as \\.\COM3, which COM10 and above need; a name given whole stays.
std::string devicePath(const std::string &device)
{
    return device.rfind("\\\\", 0) == 0 ? device : "\\\\.\\" + device;
}

class Win32Port;

// Every open port, so that a console's Ctrl-C, Ctrl-Break or close that nothing else
// handles still gives each back as it was found before the process ends.
std::mutex g_openMutex;
std::vector<Win32Port *> g_open;

BOOL WINAPI onConsoleEvent(DWORD event);

// Registered before main: the program's own handler (qn480ctl's stop), registered later,
// is asked first and ends the run in order; this one is reached only when nothing handled
// the event and the process is about to end.
[[maybe_unused]] const bool g_consoleHandler = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != FALSE;

// A serial device opened for the link: overlapped, exclusive (no sharing). Closing gives the
// device back exactly as it was found.
class Win32Port final : public Port
{
public:
    Win32Port(HANDLE handle, const DCB &savedState, const COMMTIMEOUTS &savedTimeouts)
        : m_handle(handle)
        , m_savedState(savedState)
        , m_savedTimeouts(savedTimeouts)
        , m_readEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
        , m_writeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        const std::lock_guard lock(g_openMutex);
        g_open.push_back(this);
    }
    ~Win32Port() override
    {
        {
            const std::lock_guard lock(g_openMutex);
            std::erase(g_open, this);
        }
        restore();
        CloseHandle(m_handle);
        CloseHandle(m_readEvent);
        CloseHandle(m_writeEvent);
    }
    Win32Port(const Win32Port &) = delete;
    Win32Port &operator=(const Win32Port &) = delete;

    // Gives the line its old state and time-outs; a lost device refuses, and is skipped.
    void restore()
    {
        SetCommState(m_handle, &m_savedState);
        SetCommTimeouts(m_handle, &m_savedTimeouts);
    }

    void purge() override
    {
        m_stash.clear();
        if (!m_lost &&
            !PurgeComm(m_handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR))
            noteError(GetLastError());
    }

    void write(std::span<const std::uint8_t> bytes) override
    {
        if (m_lost || bytes.empty())
            return;
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_writeEvent;
        DWORD written = 0;
        if (WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      &overlapped))
            return;
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            noteError(error);
            return;
        }
        // The write time-out set on the port ends a write stuck behind a full queue.
        if (!GetOverlappedResult(m_handle, &overlapped, &written, TRUE))
            noteError(GetLastError());
    }

    int queued() override
    {
        if (m_lost)
            return static_cast<int>(m_stash.size());
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status)) {
            noteError(GetLastError());
            return m_stash.empty() ? -1 : static_cast<int>(m_stash.size());
        }
        return static_cast<int>(m_stash.size() + status.cbInQue);
    }

    int read(std::span<std::uint8_t> bytes) override
    {
        std::size_t got = std::min(bytes.size(), m_stash.size());
        std::copy_n(m_stash.begin(), got, bytes.begin());
        m_stash.erase(m_stash.begin(), m_stash.begin() + static_cast<std::ptrdiff_t>(got));
        const int waiting = m_lost ? 0 : queued();
        if (got == bytes.size() || waiting <= static_cast<int>(m_stash.size()) || m_lost)
            return static_cast<int>(got);
        // Bytes are queued, so the read completes at once (any bytes end it).
        const auto wanted =
            std::min<std::size_t>(bytes.size() - got, static_cast<std::size_t>(waiting));
        DWORD count = 0;
        if (!readOverlapped(bytes.data() + got, static_cast<DWORD>(wanted), INFINITE, &count))
            return got > 0 ? static_cast<int>(got) : -1;
        return static_cast<int>(got + count);
    }

    void waitReadable(std::chrono::nanoseconds slice) override { waitFor(slice, nullptr); }

    // `wake` is an event handle's value here (handles fit in 32 bits), -1 for none.
    PortWait waitReadableOr(std::chrono::nanoseconds timeout, int wake) override
    {
        const HANDLE stop = wake == -1 ? nullptr : LongToHandle(wake);
        return waitFor(timeout, stop) ? PortWait::Woken : PortWait::Port;
    }

    bool deviceLost() const override { return m_lost; }

    bool checkDevice() override
    {
        if (!m_lost)
            queued();
        return m_lost;
    }

private:
    // One byte read as it arrives, up to `limit`, or until `stop` is set: a wait on the
    // driver, never a poll. True when `stop` ended it.
    bool waitFor(std::chrono::nanoseconds limit, HANDLE stop)
    {
        const DWORD ms = static_cast<DWORD>(std::clamp<long long>(
            std::chrono::ceil<std::chrono::milliseconds>(limit).count(), 0, INFINITE - 1));
        if (m_lost) {
            // A failing port still takes its time, on the stop event alone.
            return stop != nullptr ? WaitForSingleObject(stop, ms) == WAIT_OBJECT_0
                                   : (Sleep(ms), false);
        }
        if (!m_stash.empty() || queued() > 0 || m_lost)
            return false;
        std::uint8_t byte = 0;
        DWORD count = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_readEvent;
        ResetEvent(m_readEvent);
        if (ReadFile(m_handle, &byte, 1, &count, &overlapped)) {
            keep(byte, count, true);
            return false;
        }
        if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING) {
            noteError(error);
            return false;
        }
        const HANDLE events[] = {m_readEvent, stop};
        const DWORD waited = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, ms);
        if (waited != WAIT_OBJECT_0)
            CancelIoEx(m_handle, &overlapped);
        // A byte may have come as the wait ended; it is kept either way.
        if (GetOverlappedResult(m_handle, &overlapped, &count, TRUE))
            keep(byte, count, waited == WAIT_OBJECT_0);
        else if (const DWORD error = GetLastError(); error != ERROR_OPERATION_ABORTED)
            noteError(error);
        return waited == WAIT_OBJECT_0 + 1;
    }

    bool readOverlapped(std::uint8_t *into, DWORD wanted, DWORD ms, DWORD *count)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_readEvent;
        ResetEvent(m_readEvent);
        if (ReadFile(m_handle, into, wanted, count, &overlapped))
            return true;
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            noteError(error);
            return false;
        }
        if (WaitForSingleObject(m_readEvent, ms) != WAIT_OBJECT_0)
            CancelIoEx(m_handle, &overlapped);
        if (GetOverlappedResult(m_handle, &overlapped, count, TRUE))
            return true;
        noteError(GetLastError());
        return false;
    }

    // `own`: the read ended by itself, not by a cancel.
    void keep(std::uint8_t byte, DWORD count, bool own)
    {
        if (count == 1)
            m_stash.push_back(byte);
        else if (own)
            m_lost = true; // ended with nothing long before its time: the line is gone
    }

    void noteError(DWORD error)
    {
        if (isLossError(error))
            m_lost = true;
    }

    HANDLE m_handle;
    DCB m_savedState;
    COMMTIMEOUTS m_savedTimeouts;
    HANDLE m_readEvent;
    HANDLE m_writeEvent;
    std::vector<std::uint8_t> m_stash; // bytes a wait took in, read first
    bool m_lost = false;

    friend BOOL WINAPI onConsoleEvent(DWORD event);
};

BOOL WINAPI onConsoleEvent(DWORD)
{
    const std::unique_lock lock(g_openMutex, std::try_to_lock);
    if (lock.owns_lock()) {
        for (Win32Port *port : g_open)
            port->restore();
    }
    return FALSE; // the next handler, or the system's, ends the process
}

} // namespace

namespace platform {

bool hasTermiosPort()
{
    return false;
}

std::unique_ptr<Port> openTermiosPort(const std::string &, const LineSettings &,
                                      OpenFailure *failure)
{
    failOpen(failure, 0, "this build has no termios port");
    return nullptr;
}

bool hasWin32Port()
{
    return true;
}

std::unique_ptr<Port> openWin32Port(const std::string &device, const LineSettings &settings,
                                    OpenFailure *failure)
{
    const HANDLE handle =
        CreateFileA(devicePath(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        failOpen(failure, errnoOf(error), openReason(error, device));
        return nullptr;
    }
    DCB saved{};
    saved.DCBlength = sizeof saved;
    COMMTIMEOUTS savedTimeouts{};
    if (!GetCommState(handle, &saved) || !GetCommTimeouts(handle, &savedTimeouts)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        failOpen(failure, ENOTTY, device + " is not a serial device (" + systemText(error) + ")");
        return nullptr;
    }

    DCB line = saved;
    line.BaudRate = static_cast<DWORD>(settings.baud);
    line.ByteSize = static_cast<BYTE>(settings.dataBits);
    line.Parity = parityOf(settings.parity);
    line.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = settings.parity != 'n';
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE;
    // A read returns as soon as any byte is there, and waits for the first one otherwise
    // (until the wait gives it up); a write gives up after kWriteTimeoutMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!SetupComm(handle, kQueueSize, kQueueSize) || !SetCommState(handle, &line) ||
        !SetCommTimeouts(handle, &timeouts) || !GetCommState(handle, &applied) ||
        applied.BaudRate != line.BaudRate || applied.ByteSize != line.ByteSize ||
        applied.Parity != line.Parity || applied.StopBits != line.StopBits) {
        SetCommState(handle, &saved);
        SetCommTimeouts(handle, &savedTimeouts);
        CloseHandle(handle);
        failOpen(failure, 0, "line settings refused by " + device);
        return nullptr;
    }
    PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return std::make_unique<Win32Port>(handle, saved, savedTimeouts);
}

int lockQtPort(SerialHandle)
{
    return 0; // a port opened without sharing is exclusive already
}

std::optional<std::string> leftExclusiveReason(const std::string &)
{
    return std::nullopt;
}

std::optional<LineWait> waitLineOr(std::optional<SerialHandle>, int, std::chrono::nanoseconds)
{
    return std::nullopt;
}

std::optional<bool> lineHungUp(SerialHandle)
{
    return std::nullopt;
}

} // namespace platform

} // namespace qn480
