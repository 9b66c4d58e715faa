// The serial port object on Windows: overlapped CreateFileW, a DCB, and blocking reads and writes
// built on overlapped calls, with one record per opening of the port. Every failure is kept with
// the system's own reason for people.
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "comm_port_win32.h"
#include "serial_link.h"
#include "serial_link_win32.h"
#include "system_error_text.h"
#include "utf16_text.h"

namespace {

constexpr DWORD kQueueBytes = static_cast<DWORD>(CSerialLink::kMaxChunk);

}  // namespace

// The Win32 helpers of this port object (comm_port_win32.h).
using namespace comm;

CSerialLink::CSerialLink() : m_platform(std::make_unique<Platform>()) {}
CSerialLink::~CSerialLink() = default;

PortHandle CSerialLink::LocalOpen() {
    // A name that is not valid UTF-8 is refused rather than opened as a look-alike.
    const std::optional<std::wstring> exactPath = Utf8ToWideExact(SerialDevicePath(m_strPort));
    if (!exactPath || exactPath->empty()) {
        SetError(PortErrorKind::NotFound, "Opening '" + m_strPort + "': not a valid port name.");
        return kInvalidPortHandle;
    }
    const std::wstring& path = *exactPath;
    // Windows itself refuses a second opening of a COM port; Wine opens one as often as asked.
    // A named mark of our own keeps two openings apart there as well, and is checked before the
    // port is touched. Where no mark can be made for another reason, the port's own rule stands.
    SetLastError(ERROR_SUCCESS);
    HANDLE mark = CreateMutexW(nullptr, FALSE, OpeningMarkName(path).c_str());
    const DWORD markCode = GetLastError();
    if (markCode == ERROR_ALREADY_EXISTS || (mark == nullptr && markCode == ERROR_ACCESS_DENIED)) {
        if (mark != nullptr) {
            CloseHandle(mark);
        }
        SetError(PortErrorKind::Busy,
                 "Opening '" + m_strPort +
                     "': the port is already open in this or another upgrade program.");
        return kInvalidPortHandle;
    }
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (mark != nullptr) {
            CloseHandle(mark);
        }
        SetError(OpenFailureKind(code), "Opening '" + m_strPort + "': " + SystemErrorText(code));
        return kInvalidPortHandle;
    }
    auto opening = std::make_shared<Opening>(handle, mark);
    const std::lock_guard<std::mutex> lock(m_platform->mutex);
    m_platform->openings[handle] = opening;
    m_platform->newest = std::move(opening);
    return FromHandle(handle);
}

bool CSerialLink::LocalSetTimeouts(std::uint32_t readIntervalMs, PortHandle handle) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = readIntervalMs;
    if (SetCommTimeouts(ToHandle(handle), &timeouts) == FALSE) {
        const DWORD code = GetLastError();
        SetError(PortErrorKind::BadSetting,
                 "Setting the time limits of '" + m_strPort + "': " + SystemErrorText(code));
        return false;
    }
    return true;
}

bool CSerialLink::LocalConfigure(PortHandle handle) {
    HANDLE h = ToHandle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    // Start from the driver's own record so that members this program has no opinion on keep
    // the driver's values; a failure here shows again, with its reason, at SetCommState.
    (void)GetCommState(h, &dcb);
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = m_dwBaudRate;
    dcb.ByteSize = m_byByteSize;
    dcb.Parity = m_byParity;
    dcb.StopBits = m_byStopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fNull = 0;
    dcb.XonLim = 50;
    dcb.XoffLim = 50;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // Flow control is XON/XOFF only: a CTS/DSR handshake left on by the last program that used
    // the port would stall output on adapters that leave those lines unconnected, and abort-on-
    // error would fail every transfer after a line error until the error word is read.
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    if (SetCommState(h, &dcb) == FALSE) {
        const DWORD code = GetLastError();
        SetError(PortErrorKind::BadSetting,
                 "Setting '" + m_strPort + "' to " + std::to_string(m_dwBaudRate) + " bit/s, " +
                     std::to_string(m_byByteSize) + " data bits, " + ParityName(m_byParity) + ", " +
                     StopBitsName(m_byStopBits) + ": " + SystemErrorText(code));
        return false;
    }
    (void)SetCommMask(h, EV_RXCHAR);
    (void)SetupComm(h, kQueueBytes, kQueueBytes);
    (void)PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return true;
}

bool CSerialLink::LocalSetSoftwareFlowControl(PortHandle handle, bool enabled) {
    HANDLE h = ToHandle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(h, &dcb) != FALSE) {
        dcb.fOutX = enabled ? 1 : 0;
        dcb.fInX = enabled ? 1 : 0;
        if (SetCommState(h, &dcb) != FALSE) {
            return true;
        }
    }
    const DWORD code = GetLastError();
    SetError(PortErrorKind::BadSetting, std::string(enabled ? "Turning on" : "Turning off") +
                                            " XON/XOFF on '" + m_strPort +
                                            "': " + SystemErrorText(code));
    return false;
}

bool CSerialLink::LocalCreateEvents() {
    std::shared_ptr<Opening> opening;
    {
        const std::lock_guard<std::mutex> lock(m_platform->mutex);
        opening = m_platform->newest;
    }
    if (!opening) {
        SetError(PortErrorKind::Other,
                 "Creating the events of '" + m_strPort + "': the port is not open.");
        return false;
    }
    const std::lock_guard<std::mutex> writeLock(m_writeMutex);
    const std::lock_guard<std::mutex> readLock(opening->readMutex);
    // Events of an earlier CreateEvents for this opening.
    CloseEvent(opening->ovRead.hEvent);
    CloseEvent(opening->ovWrite.hEvent);
    opening->ovRead = OVERLAPPED{};
    opening->ovWrite = OVERLAPPED{};

    opening->ovRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (opening->ovRead.hEvent == nullptr) {
        const DWORD code = GetLastError();
        SetError(PortErrorKind::Other, "Creating the read event: " + SystemErrorText(code));
        return false;
    }
    opening->ovWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (opening->ovWrite.hEvent == nullptr) {
        const DWORD code = GetLastError();
        CloseEvent(opening->ovRead.hEvent);
        SetError(PortErrorKind::Other, "Creating the write event: " + SystemErrorText(code));
        return false;
    }
    return true;
}

void CSerialLink::LocalClose(PortHandle handle) {
    // A handle this object did not open, or has closed already, is left alone: its value may
    // belong to another opening by now.
    const std::shared_ptr<Opening> opening = m_platform->Remove(ToHandle(handle));
    if (!opening) {
        return;
    }
    const std::lock_guard<std::mutex> gate(opening->gate);
    opening->closed = true;
    // A waiter ends as cancelled, as on any other cancel. Wine does not end a pending
    // WaitCommEvent when the handle is closed; an empty event mask does, everywhere. Pending
    // reads and writes are cancelled so that Write and Read return.
    opening->cancelPending = true;
    (void)SetCommMask(opening->handle, 0);
    (void)CancelIoEx(opening->handle, nullptr);
    CloseHandle(opening->handle);
    opening->ReleaseMark();
    // The events go with the last thread still using this opening.
}

std::size_t CSerialLink::LocalWrite(const std::uint8_t* bytes, std::size_t length,
                                    PortHandle handle, int timeoutMs) {
    // Write holds the link's write lock around this.
    const std::string what = "Writing to '" + m_strPort + "': ";
    if (length > MAXDWORD) {
        SetError(PortErrorKind::Other, what + "too many bytes for one write.");
        return 0;
    }
    const auto opening = m_platform->ForUse(*this, handle, what);
    if (!opening) {
        return 0;
    }
    HANDLE h = opening->handle;
    OVERLAPPED& overlapped = opening->ovWrite;
    overlapped.Offset = 0;
    overlapped.OffsetHigh = 0;
    DWORD written = 0;
    BOOL started = FALSE;
    DWORD startCode = 0;
    {
        const std::lock_guard<std::mutex> gate(opening->gate);
        if (opening->closed) {
            SetError(PortErrorKind::Other, what + "the port was closed.");
            return 0;
        }
        COMSTAT status{};
        if (const auto error = TakeLineErrors(h, PURGE_TXCLEAR, "output", status)) {
            SetError(error->kind, what + error->message);
            return 0;
        }
        started = WriteFile(h, bytes, static_cast<DWORD>(length), &written, &overlapped);
        startCode = started == FALSE ? GetLastError() : 0;
    }
    // Outside the gate: a write held by XOFF must not keep Close from ending it.
    bool timedOut = false;
    if (const auto error =
            FinishOverlapped(h, started, startCode, overlapped, written, timeoutMs, &timedOut)) {
        if (timedOut) {
            // What the line held back must not go out later, when nobody expects it.
            const std::lock_guard<std::mutex> gate(opening->gate);
            if (!opening->closed) {
                (void)PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
            }
        }
        SetError(error->kind, what + error->message);
        return written;
    }
    if (written != length) {
        SetError(PortErrorKind::Other, what + "only " + std::to_string(written) + " of " +
                                           std::to_string(length) + " bytes went out.");
    }
    return written;
}

std::size_t CSerialLink::LocalRead(std::uint8_t* buffer, std::size_t capacity, PortHandle handle) {
    const std::string what = "Reading from '" + m_strPort + "': ";
    const auto opening = m_platform->ForUse(*this, handle, what);
    if (!opening) {
        return 0;
    }
    const std::lock_guard<std::mutex> readLock(opening->readMutex);
    HANDLE h = opening->handle;
    OVERLAPPED& overlapped = opening->ovRead;
    DWORD read = 0;
    BOOL started = FALSE;
    DWORD startCode = 0;
    {
        const std::lock_guard<std::mutex> gate(opening->gate);
        if (opening->closed) {
            SetError(PortErrorKind::Other, what + "the port was closed.");
            return 0;
        }
        COMSTAT status{};
        if (const auto error = TakeLineErrors(h, PURGE_RXABORT | PURGE_RXCLEAR, "input", status)) {
            SetError(error->kind, what + error->message);
            return 0;
        }
        // Never more than the caller's buffer holds, nor more than one chunk.
        const auto count = static_cast<DWORD>(
            std::min({static_cast<std::size_t>(status.cbInQue), kMaxChunk, capacity}));
        std::fill_n(buffer, count, std::uint8_t{0});
        if (count == 0) {
            return 0;
        }
        started = ReadFile(h, buffer, count, &read, &overlapped);
        startCode = started == FALSE ? GetLastError() : 0;
    }
    if (const auto error = FinishOverlapped(h, started, startCode, overlapped, read)) {
        SetError(error->kind, what + error->message);
    }
    overlapped.Offset = 0;
    return read;
}

long CSerialLink::LocalQueuedInput(PortHandle handle) {
    const std::string what = "Reading from '" + m_strPort + "': ";
    const auto opening = m_platform->ForUse(*this, handle, what);
    if (!opening) {
        return -1;
    }
    const std::lock_guard<std::mutex> gate(opening->gate);
    if (opening->closed) {
        SetError(PortErrorKind::Other, what + "the port is not open.");
        return -1;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(opening->handle, &errors, &status) == FALSE) {
        const DWORD code = GetLastError();
        SetError(IoFailureKind(code), what + SystemErrorText(code));
        return -1;
    }
    return static_cast<long>(status.cbInQue);
}

PortWaitResult CSerialLink::LocalWaitForInput(PortHandle handle, int timeoutMs) {
    const std::string what = "Waiting for input on '" + m_strPort + "': ";
    const auto opening = m_platform->ForUse(*this, handle, what);
    if (!opening) {
        return PortWaitResult::Failed;
    }
    // A wait of its own: the receive worker waits while other threads read and write.
    comm::WaitRecord wait;
    if (wait.overlapped.hEvent == nullptr) {
        const DWORD code = GetLastError();
        SetError(PortErrorKind::Other, "Creating the wait event: " + SystemErrorText(code));
        return PortWaitResult::Failed;
    }
    OVERLAPPED& overlapped = wait.overlapped;
    DWORD mask = 0;
    BOOL started = FALSE;
    DWORD startCode = 0;
    {
        // Checked and started under the gate, so a CancelWait (or Close) either comes first and
        // is seen here, or comes after and ends the pending wait with its empty mask.
        const std::lock_guard<std::mutex> gate(opening->gate);
        if (opening->TakeCancelLocked()) {
            return PortWaitResult::Cancelled;
        }
        if (opening->closed) {
            SetError(PortErrorKind::Other, what + "the port was closed.");
            return PortWaitResult::Failed;
        }
        started = WaitCommEvent(opening->handle, &mask, &overlapped);
        startCode = started == FALSE ? GetLastError() : 0;
    }
    if (started == FALSE && startCode != ERROR_IO_PENDING) {
        if (opening->TakeCancel()) {
            return PortWaitResult::Cancelled;
        }
        SetError(IoFailureKind(startCode), what + SystemErrorText(startCode));
        return PortWaitResult::Failed;
    }
    bool timedOut = false;
    DWORD code = 0;
    const bool completed =
        FinishCommEvent(*opening, overlapped, started == FALSE, timeoutMs, timedOut, code);
    if (opening->TakeCancel()) {
        return PortWaitResult::Cancelled;
    }
    if ((mask & EV_RXCHAR) != 0) {
        return PortWaitResult::DataArrived;
    }
    if (timedOut) {
        return PortWaitResult::TimedOut;
    }
    if (!completed) {
        SetError(IoFailureKind(code), what + SystemErrorText(code));
        return PortWaitResult::Failed;
    }
    // Ended by a change of the mask (Configure on this handle): the caller looks at the queue.
    return PortWaitResult::DataArrived;
}

void CSerialLink::LocalForgetCancel(PortHandle handle) {
    if (const auto opening = m_platform->Find(ToHandle(handle))) {
        (void)opening->TakeCancel();
    }
}

void CSerialLink::LocalCancelWait(PortHandle handle) {
    const auto opening = m_platform->Find(ToHandle(handle));
    if (!opening) {
        return;
    }
    const std::lock_guard<std::mutex> gate(opening->gate);
    if (!opening->closed) {
        opening->cancelPending = true;
        (void)SetCommMask(opening->handle, 0);
    }
}
