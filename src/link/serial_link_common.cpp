// The parts of CSerialLink that are the same on every platform: its settings and errors, and
// each call handed to the backend of its port (port_backend.h).
#include <utility>

#include "network_port.h"
#include "network_port_name.h"
#include "port_backend.h"
#include "serial_link.h"

void CSerialLink::SetParams(const std::string& name, std::uint32_t baudRate, std::uint8_t byteSize,
                            std::uint8_t parity, std::uint8_t stopBits) {
    m_strPort = name;
    m_dwBaudRate = baudRate;
    m_byByteSize = byteSize;
    m_byParity = parity;
    m_byStopBits = stopBits;
}

PortError CSerialLink::LastError() const {
    const std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_lastError;
}

void CSerialLink::SetError(PortErrorKind kind, std::string message) {
    const std::lock_guard<std::mutex> lock(m_errorMutex);
    m_lastError = PortError{kind, std::move(message)};
}

void CSerialLink::KeepError(const PortError& error) {
    if (error.kind != PortErrorKind::None) {
        SetError(error.kind, error.message);
    }
}

// The local device of this platform as a backend: CSerialLink's own Local methods, which keep
// their failures themselves.
class CLocalPorts final : public IPortBackend {
  public:
    explicit CLocalPorts(CSerialLink& link) : m_link(link) {}

    PortHandle Open(const std::string& /*name*/, PortError& /*error*/) override {
        return m_link.LocalOpen();
    }
    bool SetTimeouts(std::uint32_t readIntervalMs, PortHandle handle,
                     PortError& /*error*/) override {
        return m_link.LocalSetTimeouts(readIntervalMs, handle);
    }
    bool Configure(PortHandle handle, const PortLineSettings& /*settings*/,
                   PortError& /*error*/) override {
        return m_link.LocalConfigure(handle);
    }
    bool SetSoftwareFlowControl(PortHandle handle, bool enabled, PortError& /*error*/) override {
        return m_link.LocalSetSoftwareFlowControl(handle, enabled);
    }
    bool CreateEvents(PortError& /*error*/) override { return m_link.LocalCreateEvents(); }
    void Close(PortHandle handle) override { m_link.LocalClose(handle); }
    std::size_t Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                      int timeoutMs, PortError& /*error*/) override {
        return m_link.LocalWrite(bytes, length, handle, timeoutMs);
    }
    std::size_t Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle,
                     PortError& /*error*/) override {
        return m_link.LocalRead(buffer, capacity, handle);
    }
    long QueuedInput(PortHandle handle, PortError& /*error*/) override {
        return m_link.LocalQueuedInput(handle);
    }
    PortWaitResult WaitForInput(PortHandle handle, int timeoutMs, PortError& /*error*/) override {
        return m_link.LocalWaitForInput(handle, timeoutMs);
    }
    void CancelWait(PortHandle handle) override { m_link.LocalCancelWait(handle); }
    void ForgetCancel(PortHandle handle) override { m_link.LocalForgetCancel(handle); }

  private:
    CSerialLink& m_link;
};

std::shared_ptr<IPortBackend> MakeLocalPorts(CSerialLink& link) {
    return std::make_shared<CLocalPorts>(link);
}

IPortBackend& CSerialLink::BackendOf(PortHandle handle) const {
    if (m_network->Owns(handle)) {
        return *m_network;
    }
    return *m_local;
}

PortHandle CSerialLink::Open() {
    IPortBackend& backend =
        IsNetworkPortName(m_strPort) ? static_cast<IPortBackend&>(*m_network) : *m_local;
    PortError error;
    const PortHandle handle = backend.Open(m_strPort, error);
    KeepError(error);
    return handle;
}

bool CSerialLink::SetTimeouts(std::uint32_t readIntervalMs, PortHandle handle) {
    PortError error;
    const bool ok = BackendOf(handle).SetTimeouts(readIntervalMs, handle, error);
    KeepError(error);
    return ok;
}

bool CSerialLink::Configure(PortHandle handle) {
    PortError error;
    const bool ok = BackendOf(handle).Configure(
        handle, PortLineSettings{m_dwBaudRate, m_byByteSize, m_byParity, m_byStopBits}, error);
    KeepError(error);
    return ok;
}

bool CSerialLink::SetSoftwareFlowControl(PortHandle handle, bool enabled) {
    PortError error;
    const bool ok = BackendOf(handle).SetSoftwareFlowControl(handle, enabled, error);
    KeepError(error);
    return ok;
}

bool CSerialLink::CreateEvents() {
    IPortBackend& backend =
        IsNetworkPortName(m_strPort) ? static_cast<IPortBackend&>(*m_network) : *m_local;
    PortError error;
    const bool ok = backend.CreateEvents(error);
    KeepError(error);
    return ok;
}

void CSerialLink::Close(PortHandle handle) {
    BackendOf(handle).Close(handle);
}

std::size_t CSerialLink::Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                               int timeoutMs) {
    // The transfer worker and the window thread can both send: one write at a time.
    const std::lock_guard<std::mutex> writing(m_writeMutex);
    PortError error;
    const std::size_t n = BackendOf(handle).Write(bytes, length, handle, timeoutMs, error);
    KeepError(error);
    return n;
}

std::size_t CSerialLink::Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle) {
    PortError error;
    const std::size_t n = BackendOf(handle).Read(buffer, capacity, handle, error);
    KeepError(error);
    return n;
}

long CSerialLink::QueuedInput(PortHandle handle) {
    PortError error;
    const long n = BackendOf(handle).QueuedInput(handle, error);
    KeepError(error);
    return n;
}

PortWaitResult CSerialLink::WaitForInput(PortHandle handle, int timeoutMs) {
    PortError error;
    const PortWaitResult result = BackendOf(handle).WaitForInput(handle, timeoutMs, error);
    KeepError(error);
    return result;
}

void CSerialLink::CancelWait(PortHandle handle) {
    BackendOf(handle).CancelWait(handle);
}

void CSerialLink::ForgetCancel(PortHandle handle) {
    BackendOf(handle).ForgetCancel(handle);
}
