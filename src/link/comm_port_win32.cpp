#include "comm_port_win32.h"

#include <cwctype>

#include "serial_link_win32.h"
#include "system_error_text.h"

namespace comm {

namespace {
// How long a wait ended by a new event mask may take to finish before it is cancelled.
constexpr DWORD kWaitEndGraceMs = 200;
}  // namespace

HANDLE ToHandle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(handle.value);  // NOLINT(performance-no-int-to-ptr)
}

PortHandle FromHandle(HANDLE handle) {
    return PortHandle{reinterpret_cast<std::intptr_t>(handle)};
}

PortErrorKind OpenFailureKind(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PortErrorKind::NotFound;
        // A COM port answers "access denied" when another program has it open.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return PortErrorKind::Busy;
        default:
            return PortErrorKind::Other;
    }
}

// Codes a read, write or wait ends with when the device went away under an open handle
// (USB adapter pulled, the port closed by another thread).
PortErrorKind IoFailureKind(DWORD code) {
    switch (code) {
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_ACCESS_DENIED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_OPERATION_ABORTED:
            return PortErrorKind::Vanished;
        default:
            return PortErrorKind::Other;
    }
}

std::string LineErrorNames(DWORD errors) {
    std::string names;
    const auto add = [&names](const char* name) {
        names += names.empty() ? "" : ", ";
        names += name;
    };
    if ((errors & CE_FRAME) != 0) {
        add("framing");
    }
    if ((errors & CE_RXPARITY) != 0) {
        add("parity");
    }
    if ((errors & (CE_OVERRUN | CE_RXOVER)) != 0) {
        add("overrun");
    }
    if ((errors & CE_BREAK) != 0) {
        add("break");
    }
    return names.empty() ? "line" : names;
}

// ClearCommError, as before every read and write. A line error discards what waits in that
// direction (purgeFlags) and the transfer is not tried.
std::optional<PortError> TakeLineErrors(HANDLE h, DWORD purgeFlags, const char* discarded,
                                        COMSTAT& status) {
    DWORD errors = 0;
    if (ClearCommError(h, &errors, &status) == FALSE) {
        const DWORD code = GetLastError();
        return PortError{IoFailureKind(code), SystemErrorText(code)};
    }
    if (errors != 0) {
        (void)PurgeComm(h, purgeFlags);
        return PortError{PortErrorKind::LineError, "the port reported a " + LineErrorNames(errors) +
                                                       " error; the waiting " + discarded +
                                                       " was discarded."};
    }
    return std::nullopt;
}

// Completes a ReadFile or WriteFile whose start returned `started` (with `startCode` from
// GetLastError when it returned FALSE), waiting if it is pending: without a limit when
// `timeoutMs` is negative, else cancelling it at the limit (`timedOut` then set). `transferred`
// holds the bytes moved either way.
std::optional<PortError> FinishOverlapped(HANDLE h, BOOL started, DWORD startCode,
                                          OVERLAPPED& overlapped, DWORD& transferred, int timeoutMs,
                                          bool* timedOut) {
    if (started != FALSE) {
        return std::nullopt;
    }
    if (startCode != ERROR_IO_PENDING) {
        return PortError{IoFailureKind(startCode), SystemErrorText(startCode)};
    }
    if (timeoutMs >= 0 &&
        WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeoutMs)) == WAIT_TIMEOUT) {
        // The record must be done with before it is used again: cancel, then collect.
        (void)CancelIoEx(h, &overlapped);
        (void)GetOverlappedResult(h, &overlapped, &transferred, TRUE);
        if (timedOut != nullptr) {
            *timedOut = true;
        }
        return PortError{PortErrorKind::Held, "the line held the output back for " +
                                                  std::to_string(timeoutMs) +
                                                  " ms (XOFF from the far end?)."};
    }
    if (GetOverlappedResult(h, &overlapped, &transferred, TRUE) == FALSE) {
        const DWORD waitCode = GetLastError();
        return PortError{IoFailureKind(waitCode), SystemErrorText(waitCode)};
    }
    return std::nullopt;
}

const char* ParityName(std::uint8_t parity) {
    switch (parity) {
        case NOPARITY:
            return "no parity";
        case ODDPARITY:
            return "odd parity";
        case EVENPARITY:
            return "even parity";
        case MARKPARITY:
            return "mark parity";
        case SPACEPARITY:
            return "space parity";
        default:
            return "unknown parity";
    }
}

const char* StopBitsName(std::uint8_t stopBits) {
    switch (stopBits) {
        case ONESTOPBIT:
            return "1 stop bit";
        case ONE5STOPBITS:
            return "1.5 stop bits";
        case TWOSTOPBITS:
            return "2 stop bits";
        default:
            return "unknown stop bits";
    }
}

// The name of the mark an opening of the port at `devicePath` holds, the same for every
// spelling of one device path (case, prefix).
std::wstring OpeningMarkName(const std::wstring& devicePath) {
    std::wstring name = L"Local\\ptz-upgrade serial port ";
    for (const wchar_t ch : devicePath) {
        // A backslash would be taken for a namespace separator.
        name.push_back(ch == L'\\' ? L'/' : static_cast<wchar_t>(std::towupper(ch)));
    }
    return name;
}

void CloseEvent(HANDLE& event) {
    if (event != nullptr) {
        CloseHandle(event);
        event = nullptr;
    }
}

void AwaitCommEvent(Opening& opening, OVERLAPPED& overlapped, int timeoutMs, bool& timedOut) {
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, limit);
    if (waited != WAIT_OBJECT_0) {
        timedOut = waited == WAIT_TIMEOUT;
        // The wait must be over before `overlapped` and `mask` leave scope. Setting the mask
        // again ends it at once; a CancelWait that came meanwhile has ended it already, and
        // its empty mask must stay; Close has cancelled it with the rest of the handle's I/O.
        const std::lock_guard<std::mutex> gate(opening.gate);
        if (!opening.cancelPending && !opening.closed) {
            (void)SetCommMask(opening.handle, EV_RXCHAR);
        }
        // A port that has gone away may never end the wait on a new mask (Wine with a
        // vanished device): cancel it then, so the caller gets to look at the port.
        if (!opening.closed &&
            (!timedOut ||
             WaitForSingleObject(overlapped.hEvent, kWaitEndGraceMs) != WAIT_OBJECT_0)) {
            (void)CancelIoEx(opening.handle, &overlapped);
        }
    }
}

bool FinishCommEvent(Opening& opening, OVERLAPPED& overlapped, bool pending, int timeoutMs,
                     bool& timedOut, DWORD& code) {
    if (pending) {
        AwaitCommEvent(opening, overlapped, timeoutMs, timedOut);
    }
    DWORD transferred = 0;
    // With an event in the record, this waits on the event, never on a handle closed meanwhile.
    const BOOL completed = GetOverlappedResult(opening.handle, &overlapped, &transferred, TRUE);
    code = completed == FALSE ? GetLastError() : 0;
    return completed != FALSE;
}

}  // namespace comm

std::string SerialDevicePath(std::string_view portName) {
    constexpr std::string_view kDevicePrefix = R"(\\.\)";
    const bool isPath = portName.find_first_of("\\/") != std::string_view::npos;
    if (portName.empty() || isPath) {
        return std::string(portName);
    }
    return std::string(kDevicePrefix) + std::string(portName);
}
