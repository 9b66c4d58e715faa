// The device behind a port name the operator picked or typed.
#pragma once

#include <string>

// Windows: the name itself (the serial link adds the device-namespace prefix). POSIX, where the
// window program runs only in tests: COM1, COM2, ... map to the `comN` entries of the folder
// named by PTZ_COM_PORTS_DIR, as Wine's dosdevices do; any other name opens as it is.
std::string DevicePathForPortName(const std::string& name);
