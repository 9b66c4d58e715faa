// What CSerialLink asks of one kind of port: a local device of this platform, or a port on a
// network serial server (net/network_port.h). CSerialLink chooses the backend when a port opens
// (by its name) and, for every later call, by the handle the opening returned. Failures are
// handed back in `error` for the link to keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "port_handle.h"
#include "serial_link.h"

struct PortLineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space (as the DCB)
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two (as the DCB)
};

class IPortBackend {
  public:
    virtual ~IPortBackend() = default;

    virtual PortHandle Open(const std::string& name, PortError& error) = 0;
    virtual bool SetTimeouts(std::uint32_t readIntervalMs, PortHandle handle, PortError& error) = 0;
    virtual bool Configure(PortHandle handle, const PortLineSettings& settings,
                           PortError& error) = 0;
    virtual bool SetSoftwareFlowControl(PortHandle handle, bool enabled, PortError& error) = 0;
    virtual bool CreateEvents(PortError& error) = 0;
    virtual void Close(PortHandle handle) = 0;
    // Called under the link's write lock: one writer at a time.
    virtual std::size_t Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                              int timeoutMs, PortError& error) = 0;
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle,
                             PortError& error) = 0;
    virtual long QueuedInput(PortHandle handle, PortError& error) = 0;
    virtual PortWaitResult WaitForInput(PortHandle handle, int timeoutMs, PortError& error) = 0;
    virtual void CancelWait(PortHandle handle) = 0;
    virtual void ForgetCancel(PortHandle handle) = 0;
};
