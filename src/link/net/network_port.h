// Ports on a network serial server behind CSerialLink: rfc2217:// (Telnet with the RFC 2217
// COM-PORT-OPTION, so the loader sets the server's line) and socket:// (raw TCP, the server's
// own settings). One object holds every opening of one CSerialLink, each keyed by its socket.
//
// Written here rather than taken from gensio, the one packaged RFC 2217 client library in
// Debian: it is large, its RFC 2217 part is deprecated, and it does not build for Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "port_handle.h"
#include "serial_link.h"

struct NetworkLineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space (as the DCB)
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two (as the DCB)
};

struct NetworkConnection;

class CNetworkPorts {
  public:
    CNetworkPorts();
    ~CNetworkPorts();
    CNetworkPorts(const CNetworkPorts&) = delete;
    CNetworkPorts& operator=(const CNetworkPorts&) = delete;

    // Connects and, for rfc2217://, negotiates the options; the line is set by Configure.
    PortHandle Open(const std::string& name, PortError& error);
    bool Owns(PortHandle handle) const;
    // Sets the server's line (rfc2217://) with XON/XOFF on, each setting acknowledged, then
    // purges the server's buffers and what arrived before.
    bool Configure(PortHandle handle, const NetworkLineSettings& settings, PortError& error);
    // While a write is held by the line, turning flow control off cannot overtake the held
    // bytes in the TCP stream: it ends that write as failed instead.
    bool SetSoftwareFlowControl(PortHandle handle, bool enabled, PortError& error);
    // Waits until what was written has left the server's UART (bounded), then disconnects.
    void Close(PortHandle handle);
    // Returns once the bytes have left the server's UART (by the line's speed), so that answer
    // time limits start there. With timeoutMs >= 0, returns the bytes sent so far on expiry.
    std::size_t Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                      int timeoutMs, PortError& error);
    std::size_t Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle,
                     PortError& error);
    long QueuedInput(PortHandle handle, PortError& error);
    PortWaitResult WaitForInput(PortHandle handle, int timeoutMs, PortError& error);
    void CancelWait(PortHandle handle);
    void ForgetCancel(PortHandle handle);

  private:
    std::shared_ptr<NetworkConnection> Find(PortHandle handle) const;

    mutable std::mutex m_mutex;
    std::map<std::intptr_t, std::shared_ptr<NetworkConnection>> m_connections;
};
