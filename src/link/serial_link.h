// One serial port: name and line settings, opening for overlapped use, configuration, blocking
// write and read, and the hex text decoding that every transmission passes through.
// The object does not keep the port handle: Open returns it and every operation takes it.
// A port is a local device (one source per platform) or, named rfc2217://HOST:PORT or
// socket://HOST:PORT, a port on a network serial server (network_port.h); every call works on
// both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "port_handle.h"

class CNetworkPorts;
class CSerialLink;
class IPortBackend;
// The network ports of one CSerialLink (network_port.cpp), and its local devices
// (serial_link_common.cpp), each as a backend (port_backend.h).
std::shared_ptr<CNetworkPorts> MakeNetworkPorts();
std::shared_ptr<IPortBackend> MakeLocalPorts(CSerialLink& link);

// Why the last operation failed, captured where it failed so that a person can be told.
enum class PortErrorKind {
    None,
    NotFound,          // no such port
    Busy,              // another program (or another opening of ours) holds it
    PermissionDenied,  // e.g. not in the dialout group
    BadSetting,        // the driver refused a setting (speed, timeouts)
    Vanished,          // the device went away while open (USB adapter pulled, pty closed)
    LineError,         // framing, parity or overrun reported by the driver
    Held,              // output held past its time limit (XOFF from the far end, flow control)
    Other,
};

struct PortError {
    PortErrorKind kind = PortErrorKind::None;
    std::string message;  // "Opening 'COM7': Access is denied." style, empty when kind is None
};

// Outcome of waiting for received characters.
enum class PortWaitResult {
    DataArrived,  // a character arrived (or may have): look at the input queue
    TimedOut,     // nothing arrived within the time limit
    Cancelled,    // CancelWait was called for this handle
    Failed,       // the handle is closed or broken
};

class CSerialLink {
  public:
    CSerialLink();
    ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    void SetParams(const std::string& name, std::uint32_t baudRate, std::uint8_t byteSize,
                   std::uint8_t parity, std::uint8_t stopBits);
    PortHandle Open();
    bool SetTimeouts(std::uint32_t readIntervalMs, PortHandle handle);
    bool Configure(PortHandle handle);
    // Configure turns XON/XOFF on in both directions; an echoing two-wire line needs it off,
    // since every XOFF character sent would come back and stop our own output.
    bool SetSoftwareFlowControl(PortHandle handle, bool enabled);
    bool CreateEvents();
    // Also closes this opening's events and wakes a receive worker blocked on the handle.
    void Close(PortHandle handle);
    // Bytes written; fewer than `length` (often 0) on failure. Completes before it returns; one
    // writer at a time. With a non-negative `timeoutMs`, output the line holds back longer is
    // discarded and the write fails as Held, returning the bytes that went out.
    std::size_t Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                      int timeoutMs = -1);
    // Bytes read from what is waiting (at most 4096), 0 on failure or when nothing waits.
    std::size_t Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle);

    // Receive-side primitives for the receive worker.
    // Bytes waiting in the input queue, or -1 when the handle is unusable (closed, vanished).
    long QueuedInput(PortHandle handle);
    // Blocks until a character arrives, CancelWait is called, the handle fails, or (with a
    // non-negative timeoutMs) the time limit passes.
    PortWaitResult WaitForInput(PortHandle handle, int timeoutMs = -1);
    // Ends a pending WaitForInput on this handle (Win32: SetCommMask(h, 0)).
    void CancelWait(PortHandle handle);
    // Drops a CancelWait that no wait has seen yet, so that the next waiter on the handle (a
    // new receive worker) is not ended by a cancel meant for an earlier one.
    void ForgetCancel(PortHandle handle);

    // What the last failed operation on this object found, for messages to people.
    PortError LastError() const;

    static std::size_t DecodeHexText(std::string_view text, std::uint8_t* out,
                                     std::size_t outCapacity);
    static std::uint8_t HexDigitValue(char ch);

    const std::string& PortName() const { return m_strPort; }
    std::uint32_t BaudRate() const { return m_dwBaudRate; }

    // Most a single Read takes, and the driver queue sizes asked for.
    static constexpr std::size_t kMaxChunk = 4096;

  private:
    friend class CLocalPorts;

    // The backend of the port an opening of `handle` opened.
    IPortBackend& BackendOf(PortHandle handle) const;
    void SetError(PortErrorKind kind, std::string message);
    // Takes a network port's error, if the call failed.
    void KeepError(const PortError& error);

    // The local device, one definition per platform.
    PortHandle LocalOpen();
    bool LocalSetTimeouts(std::uint32_t readIntervalMs, PortHandle handle);
    bool LocalConfigure(PortHandle handle);
    bool LocalSetSoftwareFlowControl(PortHandle handle, bool enabled);
    bool LocalCreateEvents();
    void LocalClose(PortHandle handle);
    std::size_t LocalWrite(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                           int timeoutMs);
    std::size_t LocalRead(std::uint8_t* buffer, std::size_t capacity, PortHandle handle);
    long LocalQueuedInput(PortHandle handle);
    PortWaitResult LocalWaitForInput(PortHandle handle, int timeoutMs);
    void LocalCancelWait(PortHandle handle);
    void LocalForgetCancel(PortHandle handle);

    std::string m_strPort;
    std::uint32_t m_dwBaudRate = 0;
    std::uint8_t m_byByteSize = 8;
    std::uint8_t m_byParity = 0;
    std::uint8_t m_byStopBits = 0;

    // Platform state (the OVERLAPPED records and their events on Win32).
    struct Platform;
    std::unique_ptr<Platform> m_platform;
    // Openings of network ports, by handle, and the local devices. Shared only so that this
    // header needs no complete type: nothing else holds them.
    std::shared_ptr<CNetworkPorts> m_network = MakeNetworkPorts();
    std::shared_ptr<IPortBackend> m_local = MakeLocalPorts(*this);

    // The transfer worker and the window thread can both send: one Write at a time.
    std::mutex m_writeMutex;
    mutable std::mutex m_errorMutex;
    PortError m_lastError;
};
