// What the Windows port object (serial_link_win32.cpp) needs beyond CSerialLink's own methods:
// handle conversions, failure kinds and texts, overlapped completion, the opening's mark, and the
// record of one opening.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "port_handle.h"
#include "serial_link.h"

namespace comm {

HANDLE ToHandle(PortHandle handle);
PortHandle FromHandle(HANDLE handle);

// What a failed CreateFileW, or a failed read, write or wait, means for people.
PortErrorKind OpenFailureKind(DWORD code);
PortErrorKind IoFailureKind(DWORD code);

// ClearCommError, as before every read and write. A line error discards what waits in that
// direction (purgeFlags) and the transfer is not tried.
std::optional<PortError> TakeLineErrors(HANDLE h, DWORD purgeFlags, const char* discarded,
                                        COMSTAT& status);

// Completes a ReadFile or WriteFile whose start returned `started` (with `startCode` from
// GetLastError when it returned FALSE), waiting if it is pending: without a limit when
// `timeoutMs` is negative, else cancelling it at the limit (`timedOut` then set). `transferred`
// holds the bytes moved either way.
std::optional<PortError> FinishOverlapped(HANDLE h, BOOL started, DWORD startCode,
                                          OVERLAPPED& overlapped, DWORD& transferred,
                                          int timeoutMs = -1, bool* timedOut = nullptr);

// The DCB's parity and stop-bit codes in words, for messages.
const char* ParityName(std::uint8_t parity);
const char* StopBitsName(std::uint8_t stopBits);

// The name of the mark an opening of the port at `devicePath` holds, the same for every
// spelling of one device path (case, prefix).
std::wstring OpeningMarkName(const std::wstring& devicePath);

void CloseEvent(HANDLE& event);

// One opening of the port: its handle and everything made for it. Shared, so that a thread still
// inside Write, Read or WaitForInput keeps its OVERLAPPED records and events alive after Close;
// they are closed with the last user.
struct Opening {
    Opening(HANDLE port, HANDLE openingMark) : handle(port), mark(openingMark) {}
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
    ~Opening() {
        CloseEvent(ovRead.hEvent);
        CloseEvent(ovWrite.hEvent);
        ReleaseMark();
    }

    void ReleaseMark() {
        if (mark != nullptr) {
            CloseHandle(mark);
            mark = nullptr;
        }
    }

    // Sees a pending cancel: the mask CancelWait emptied is set again, so that a later wait on
    // this opening works. False when there was none. Call with `gate` held.
    bool TakeCancelLocked() {
        if (!cancelPending) {
            return false;
        }
        cancelPending = false;
        if (!closed) {
            (void)SetCommMask(handle, EV_RXCHAR);
        }
        return true;
    }

    bool TakeCancel() {
        const std::lock_guard<std::mutex> lock(gate);
        return TakeCancelLocked();
    }

    const HANDLE handle;
    // Used by Write under the link's write lock, and by Read under readMutex.
    OVERLAPPED ovWrite{};
    OVERLAPPED ovRead{};
    // Read is meant for the receive worker alone; the lock keeps a second reader from sharing
    // ovRead all the same.
    std::mutex readMutex;

    // Held while a read, write or wait is started on `handle`, while a cancel empties its event
    // mask, and by Close while it marks the opening closed and closes the handle: a later opening
    // may get the same handle value, and nothing meant for this one may reach it.
    std::mutex gate;
    // Guarded by gate, as is cancelPending.
    bool closed = false;
    // A CancelWait that no wait has seen yet. It stays pending until a wait sees it, so one given
    // just before the wait began is not lost.
    bool cancelPending = false;
    // The named mark that keeps a second opening of the port out (see Open), released by Close.
    HANDLE mark;
};

// The record of one WaitCommEvent with its own event, closed when the record goes.
struct WaitRecord {
    WaitRecord() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~WaitRecord() { CloseEvent(overlapped.hEvent); }
    WaitRecord(const WaitRecord&) = delete;
    WaitRecord& operator=(const WaitRecord&) = delete;
    OVERLAPPED overlapped{};
};

// Waits for a pending WaitCommEvent of `opening` up to `timeoutMs` (negative: no limit). A wait
// not ended by then (`timedOut` set) or ended by a failure is ended, so that `overlapped` can
// go: by setting the mask again, or, where the port went away, by cancelling it.
void AwaitCommEvent(Opening& opening, OVERLAPPED& overlapped, int timeoutMs, bool& timedOut);

// Awaits a WaitCommEvent that is `pending` as AwaitCommEvent does, then collects its end: false,
// with the system's `code`, when it failed.
bool FinishCommEvent(Opening& opening, OVERLAPPED& overlapped, bool pending, int timeoutMs,
                     bool& timedOut, DWORD& code);

}  // namespace comm

// The openings of one CSerialLink, by handle.
struct CSerialLink::Platform {
    // Guards the members below.
    std::mutex mutex;
    std::map<HANDLE, std::shared_ptr<comm::Opening>> openings;
    // The opening CreateEvents makes its events for: the last one opened, while it is open.
    std::shared_ptr<comm::Opening> newest;

    std::shared_ptr<comm::Opening> Find(HANDLE handle) {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto found = openings.find(handle);
        return found == openings.end() ? nullptr : found->second;
    }

    // The opening a read, write or wait on `handle` works on; nothing, with `link`'s error
    // saying so after `what`, when the port is not open.
    std::shared_ptr<comm::Opening> ForUse(CSerialLink& link, PortHandle handle,
                                          const std::string& what) {
        auto opening = Find(comm::ToHandle(handle));
        if (!opening) {
            link.SetError(PortErrorKind::Other, what + "the port is not open.");
        }
        return opening;
    }

    std::shared_ptr<comm::Opening> Remove(HANDLE handle) {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto found = openings.find(handle);
        if (found == openings.end()) {
            return nullptr;
        }
        std::shared_ptr<comm::Opening> opening = std::move(found->second);
        openings.erase(found);
        if (newest == opening) {
            newest.reset();
        }
        return opening;
    }
};
