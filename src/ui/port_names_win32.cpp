// Port names on Windows: the serial link opens COMn itself.
#include "port_names.h"

std::string DevicePathForPortName(const std::string& name) {
    return name;
}
