// Which port a name opens, whatever its spelling, and a hold that keeps a local port for one
// user (a bus of heads) from its first opening to its last, across the closed pause after the
// upgrade-mode command.
#pragma once

#include <cstdint>
#include <string>

#include "port_handle.h"

// One name per port: a network port by its canonical name (lower-case scheme and host, numeric
// port); a local port by the device it opens (per platform). A name that cannot be resolved
// (a device not plugged in, a malformed network name) stays as written.
std::string CanonicalPortName(const std::string& name);

// "COM3" for COM3, com3, \\.\COM3, //./com03; other names upper-case without the device
// prefix. How Windows spells a device, kept portable so that it is checked everywhere.
std::string WindowsDeviceName(const std::string& name);

class CPortHold {
  public:
    CPortHold() = default;
    ~CPortHold();
    CPortHold(const CPortHold&) = delete;
    CPortHold& operator=(const CPortHold&) = delete;

    // Holds the local port `name` until destroyed: no other hold of this process and no other
    // process that locks the port can take it meanwhile, while this process's CSerialLink
    // openings (one at a time) go on using it. False, with `error` saying so, when someone else
    // has it. Network ports and names that do not open (the opening reports those) hold nothing.
    bool Take(const std::string& name, std::string& error);

  private:
    std::string m_identity;  // empty while nothing is held
    std::intptr_t m_lock = -1;
};

// For CSerialLink's opening, whose own lock on `name` was refused: true when the refusal is this
// process's hold and no other opening uses the port now; the opening then has the port until
// ReleaseHeldPort.
bool AdoptHeldPort(const std::string& name, PortHandle opening);
// The opening ends; nothing when it had adopted nothing.
void ReleaseHeldPort(PortHandle opening);

// Per platform (port_identity_posix.cpp, port_identity_win32.cpp).
std::string LocalPortIdentity(const std::string& name);
// The operating system's lock on the port, or -1 when there is none to take (true) or someone
// else has it (false, with `error`).
bool LockLocalPort(const std::string& name, std::intptr_t& lock, std::string& error);
void UnlockLocalPort(std::intptr_t lock);
