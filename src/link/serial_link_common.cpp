// The parts of CSerialLink that are the same on every platform, and the choice between the local
// device and a network port that every call makes.
#include <utility>

#include "network_port.h"
#include "network_port_name.h"
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

PortHandle CSerialLink::Open() {
    if (!IsNetworkPortName(m_strPort)) {
        return LocalOpen();
    }
    PortError error;
    const PortHandle handle = m_network->Open(m_strPort, error);
    KeepError(error);
    return handle;
}

bool CSerialLink::SetTimeouts(std::uint32_t readIntervalMs, PortHandle handle) {
    // A network port's waits all have limits of their own.
    return m_network->Owns(handle) || LocalSetTimeouts(readIntervalMs, handle);
}

bool CSerialLink::Configure(PortHandle handle) {
    if (!m_network->Owns(handle)) {
        return LocalConfigure(handle);
    }
    PortError error;
    const bool ok = m_network->Configure(
        handle, NetworkLineSettings{m_dwBaudRate, m_byByteSize, m_byParity, m_byStopBits}, error);
    KeepError(error);
    return ok;
}

bool CSerialLink::SetSoftwareFlowControl(PortHandle handle, bool enabled) {
    if (!m_network->Owns(handle)) {
        return LocalSetSoftwareFlowControl(handle, enabled);
    }
    PortError error;
    const bool ok = m_network->SetSoftwareFlowControl(handle, enabled, error);
    KeepError(error);
    return ok;
}

bool CSerialLink::CreateEvents() {
    return IsNetworkPortName(m_strPort) || LocalCreateEvents();
}

void CSerialLink::Close(PortHandle handle) {
    if (m_network->Owns(handle)) {
        m_network->Close(handle);
    } else {
        LocalClose(handle);
    }
}

std::size_t CSerialLink::Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                               int timeoutMs) {
    if (!m_network->Owns(handle)) {
        return LocalWrite(bytes, length, handle, timeoutMs);
    }
    const std::lock_guard<std::mutex> writing(m_writeMutex);
    PortError error;
    const std::size_t n = m_network->Write(bytes, length, handle, timeoutMs, error);
    KeepError(error);
    return n;
}

std::size_t CSerialLink::Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle) {
    if (!m_network->Owns(handle)) {
        return LocalRead(buffer, capacity, handle);
    }
    PortError error;
    const std::size_t n = m_network->Read(buffer, capacity, handle, error);
    KeepError(error);
    return n;
}

long CSerialLink::QueuedInput(PortHandle handle) {
    if (!m_network->Owns(handle)) {
        return LocalQueuedInput(handle);
    }
    PortError error;
    const long n = m_network->QueuedInput(handle, error);
    KeepError(error);
    return n;
}

PortWaitResult CSerialLink::WaitForInput(PortHandle handle, int timeoutMs) {
    if (!m_network->Owns(handle)) {
        return LocalWaitForInput(handle, timeoutMs);
    }
    PortError error;
    const PortWaitResult result = m_network->WaitForInput(handle, timeoutMs, error);
    KeepError(error);
    return result;
}

void CSerialLink::CancelWait(PortHandle handle) {
    if (m_network->Owns(handle)) {
        m_network->CancelWait(handle);
    } else {
        LocalCancelWait(handle);
    }
}

void CSerialLink::ForgetCancel(PortHandle handle) {
    if (m_network->Owns(handle)) {
        m_network->ForgetCancel(handle);
    } else {
        LocalForgetCancel(handle);
    }
}
