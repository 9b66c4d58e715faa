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

#include "port_backend.h"
#include "port_handle.h"
#include "serial_link.h"

struct NetworkConnection;

class CNetworkPorts final : public IPortBackend {
  public:
    CNetworkPorts();
    ~CNetworkPorts() override;
    CNetworkPorts(const CNetworkPorts&) = delete;
    CNetworkPorts& operator=(const CNetworkPorts&) = delete;

    // Connects and, for rfc2217://, negotiates the options; the line is set by Configure.
    PortHandle Open(const std::string& name, PortError& error) override;
    bool Owns(PortHandle handle) const;
    // Sets the server's line (rfc2217://) with XON/XOFF on, each setting acknowledged, then
    // purges the server's buffers and what arrived before.
    bool Configure(PortHandle handle, const PortLineSettings& settings, PortError& error) override;
    // While a write is held by the line, turning flow control off cannot overtake the held
    // bytes in the TCP stream: it ends that write as failed instead.
    bool SetSoftwareFlowControl(PortHandle handle, bool enabled, PortError& error) override;
    // Waits until what was written has left the server's UART (bounded), then disconnects.
    void Close(PortHandle handle) override;
    // Returns once the bytes have left the server's UART (by the line's speed), so that answer
    // time limits start there. With timeoutMs >= 0, returns the bytes sent so far on expiry.
    std::size_t Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                      int timeoutMs, PortError& error) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle,
                     PortError& error) override;
    long QueuedInput(PortHandle handle, PortError& error) override;
    PortWaitResult WaitForInput(PortHandle handle, int timeoutMs, PortError& error) override;
    void CancelWait(PortHandle handle) override;
    void ForgetCancel(PortHandle handle) override;
    // Every wait has a limit of its own, and there are no events to make.
    bool SetTimeouts(std::uint32_t /*readIntervalMs*/, PortHandle /*handle*/,
                     PortError& /*error*/) override {
        return true;
    }
    bool CreateEvents(PortError& /*error*/) override { return true; }

  private:
    std::shared_ptr<NetworkConnection> Find(PortHandle handle) const;

    mutable std::mutex m_mutex;
    std::map<std::intptr_t, std::shared_ptr<NetworkConnection>> m_connections;
};
