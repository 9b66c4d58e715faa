// Port names on POSIX systems: COMn through a folder of links, as Wine maps them.
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "port_names.h"

std::string DevicePathForPortName(const std::string& name) {
    const char* folder = std::getenv("PTZ_COM_PORTS_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (folder == nullptr || name.size() < 4) {
        return name;
    }
    std::string number = name.substr(3);
    const bool isCom = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
                       (name[2] == 'M' || name[2] == 'm');
    for (const char ch : number) {
        if (std::isdigit(static_cast<unsigned char>(ch)) == 0) {
            return name;
        }
    }
    return isCom ? std::string(folder) + "/com" + number : name;
}

std::vector<std::string> PresentPortNames() {
    std::vector<std::string> names;
    const char* folder = std::getenv("PTZ_COM_PORTS_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (folder == nullptr) {
        return names;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("com", 0) == 0) {
            names.push_back("COM" + name.substr(3));
        }
    }
    return names;
}
