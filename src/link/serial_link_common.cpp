// The parts of CSerialLink that are the same on every platform.
#include <utility>

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
