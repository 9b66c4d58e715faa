// Turning software flow control off on an opened port, for lines that echo what they send.
#pragma once

#include <string>

#include "../link/port_handle.h"

// False with `error` set when the port refused the change.
bool DisableSoftwareFlowControl(PortHandle handle, std::string& error);
