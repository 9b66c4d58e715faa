// Serial ports on Linux, from sysfs (/sys/class/tty, and the latency timer of USB serial
// adapters) and udev's /dev/serial/by-id links.
#include "port_list_posix.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "usb_adapter.h"

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

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

// Legacy 8250 ports are listed whether or not a UART answers; type 0 means none does.
bool IsPhantomUart(const std::string& name, const fs::path& classDir) {
    return name.rfind("ttyS", 0) == 0 && ReadFirstLine(classDir / "type") == "0";
}

void DescribeDevice(const fs::path& classDir, const fs::path& sysRoot, SerialPortInfo& info) {
    std::error_code ec;
    const fs::path driver = Canonical(classDir / "device" / "driver");
    if (fs::exists(driver, ec)) {
        info.driver = driver.filename().string();
        info.description = info.driver;
    }
    const fs::path top = Canonical(sysRoot);
    for (fs::path dir = Canonical(classDir / "device"); dir.has_relative_path() && dir != top;
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
}

// USB serial drivers that have a latency timer (ftdi_sio) show it beside the port.
void ReadLatencyTimer(const std::string& name, const fs::path& sysRoot, SerialPortInfo& info) {
    const fs::path file = sysRoot / "bus" / "usb-serial" / "devices" / name / "latency_timer";
    const std::string value = ReadFirstLine(file);
    constexpr std::size_t kMaxDigits = 3;  // the drivers take 0..255 ms
    if (!AllDigits(value) || value.size() > kMaxDigits) {
        return;
    }
    info.latencyTimerMs = std::stoi(value);
    info.lowerLatency =
        "echo " + std::to_string(kLatencyTimerLowMs) + " | sudo tee " + file.string();
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPortsUnder(const SystemRoots& roots) {
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(roots.sys / "class" / "tty", ec)) {
        const std::string name = entry.path().filename().string();
        if (!fs::exists(entry.path() / "device", ec) || IsPhantomUart(name, entry.path())) {
            continue;  // virtual consoles and ptys have no device
        }
        SerialPortInfo info;
        info.name = (roots.dev / name).string();
        DescribeDevice(entry.path(), roots.sys, info);
        ReadLatencyTimer(name, roots.sys, info);
        ports.push_back(info);
    }
    for (const auto& link : fs::directory_iterator(roots.dev / "serial" / "by-id", ec)) {
        const fs::path target = Canonical(link.path());
        for (SerialPortInfo& info : ports) {
            if (Canonical(info.name) == target) {
                info.stablePath = link.path().string();
            }
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
    return ports;
}

std::vector<std::string> RunningPortClaimersUnder(const SystemRoots& roots) {
    std::vector<std::string> running;
    std::error_code ec;
    for (const auto& process : fs::directory_iterator(roots.proc, ec)) {
        if (!AllDigits(process.path().filename().string())) {
            continue;
        }
        const std::string name = ReadFirstLine(process.path() / "comm");
        for (const std::string_view claimer : {kBrlttyProgram, kModemManagerProgram}) {
            if (name == claimer &&
                std::find(running.begin(), running.end(), claimer) == running.end()) {
                running.emplace_back(claimer);
            }
        }
    }
    std::sort(running.begin(), running.end());
    return running;
}

std::vector<SerialPortInfo> ListSerialPorts() {
    return ListSerialPortsUnder(SystemRoots{});
}

std::vector<std::string> RunningPortClaimers() {
    return RunningPortClaimersUnder(SystemRoots{});
}

SerialPortInfo DescribeSerialPort(const std::string& port) {
    const fs::path target = Canonical(port);
    for (SerialPortInfo& info : ListSerialPorts()) {
        if (Canonical(info.name) == target) {
            return info;
        }
    }
    SerialPortInfo unlisted;
    unlisted.name = port;
    return unlisted;
}

std::string DescribePortHolders(const std::string& port) {
    const fs::path target = Canonical(port);
    const std::string self = std::to_string(getpid());
    std::string holders;
    std::error_code ec;
    for (const auto& process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (!AllDigits(pid) || pid == self) {
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
