// Serial ports on Linux, from sysfs (/sys/class/tty) and udev's /dev/serial/by-id links.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "port_list.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

fs::path Canonical(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::canonical(path, ec);
    return ec ? path : resolved;
}

// Legacy 8250 ports are listed whether or not a UART answers; type 0 means none does.
bool IsPhantomUart(const std::string& name, const fs::path& classDir) {
    return name.rfind("ttyS", 0) == 0 && ReadFirstLine(classDir / "type") == "0";
}

void DescribeDevice(const fs::path& classDir, SerialPortInfo& info) {
    std::error_code ec;
    for (fs::path dir = Canonical(classDir / "device"); dir.has_relative_path() && dir != "/sys";
         dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            info.vidPid = ReadFirstLine(dir / "idVendor") + ":" + ReadFirstLine(dir / "idProduct");
            info.serialNumber = ReadFirstLine(dir / "serial");
            const std::string maker = ReadFirstLine(dir / "manufacturer");
            const std::string product = ReadFirstLine(dir / "product");
            info.description = maker.empty() ? product : maker + ' ';
            if (!maker.empty()) {
                info.description += product;
            }
            return;
        }
    }
    const fs::path driver = Canonical(classDir / "device" / "driver");
    if (fs::exists(driver, ec)) {
        info.description = driver.filename().string();
    }
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        const std::string name = entry.path().filename().string();
        if (!fs::exists(entry.path() / "device", ec) || IsPhantomUart(name, entry.path())) {
            continue;  // virtual consoles and ptys have no device
        }
        SerialPortInfo info;
        info.name = "/dev/" + name;
        DescribeDevice(entry.path(), info);
        ports.push_back(info);
    }
    for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
        const fs::path target = Canonical(link.path());
        for (SerialPortInfo& info : ports) {
            if (fs::path(info.name) == target) {
                info.stablePath = link.path().string();
            }
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
    return ports;
}

std::string DescribePortHolders(const std::string& port) {
    const fs::path target = Canonical(port);
    const std::string self = std::to_string(getpid());
    std::string holders;
    std::error_code ec;
    for (const auto& process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) {
            continue;
        }
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == target) {
                const std::string who =
                    ReadFirstLine(process.path() / "comm") + " (pid " + pid + ")";
                holders += holders.empty() ? who : ", " + who;
                break;
            }
        }
    }
    return holders;
}
