// Placeholder until the platform serial port lands: every operation fails.
#include "serial_link.h"

struct CSerialLink::Platform {};

CSerialLink::CSerialLink() : m_platform(std::make_unique<Platform>()) {}
CSerialLink::~CSerialLink() = default;
PortHandle CSerialLink::Open() {
    return kInvalidPortHandle;
}
bool CSerialLink::SetTimeouts(std::uint32_t, PortHandle) {
    return false;
}
bool CSerialLink::Configure(PortHandle) {
    return false;
}
bool CSerialLink::CreateEvents() {
    return false;
}
void CSerialLink::Close(PortHandle) {}
std::size_t CSerialLink::Write(const std::uint8_t*, std::size_t, PortHandle) {
    return 0;
}
std::size_t CSerialLink::Read(std::uint8_t*, std::size_t, PortHandle) {
    return 0;
}
long CSerialLink::QueuedInput(PortHandle) {
    return -1;
}
PortWaitResult CSerialLink::WaitForInput(PortHandle, int) {
    return PortWaitResult::Failed;
}
void CSerialLink::CancelWait(PortHandle) {}
