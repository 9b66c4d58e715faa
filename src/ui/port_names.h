// The device behind a port name the operator picked or typed, and the port names the machine has.
#pragma once

#include <string>
#include <vector>

// Windows: the name itself (the serial link adds the device-namespace prefix). POSIX, where the
// window program runs only in tests: COM1, COM2, ... map to the `comN` entries of the folder
// named by PTZ_COM_PORTS_DIR, as Wine's dosdevices do; any other name opens as it is.
std::string DevicePathForPortName(const std::string& name);

// The COM port names present now, in no particular order: on Windows those of the system's port
// list; on POSIX the `comN` entries of PTZ_COM_PORTS_DIR, as "COMN" (none without the folder).
std::vector<std::string> PresentPortNames();
