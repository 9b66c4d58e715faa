// A local port's identity on Windows: its device name, whatever the spelling. No lock is kept
// across the port's closings: the port object's exclusive opening ends with its handle, and a
// handle kept open would refuse the next opening of our own. Within a run, the process's list
// of held ports keeps one user per port.
#include "port_identity.h"

std::string LocalPortIdentity(const std::string& name) {
    return WindowsDeviceName(name);
}

bool LockLocalPort(const std::string& /*name*/, std::intptr_t& lock, std::string& /*error*/) {
    lock = -1;
    return true;
}

void UnlockLocalPort(std::intptr_t /*lock*/) {}
