// Port names on Windows: the serial link opens COMn itself; the system lists the ports present.
#include "port_list.h"
#include "port_names.h"

std::string DevicePathForPortName(const std::string& name) {
    return name;
}

std::vector<std::string> PresentPortNames() {
    std::vector<std::string> names;
    for (const SerialPortInfo& port : ListSerialPorts()) {
        names.push_back(port.name);
    }
    return names;
}
