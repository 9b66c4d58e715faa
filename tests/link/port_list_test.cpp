// The facts the port list gives about common USB serial adapters, read from a sysfs tree laid
// out as Linux lays it out and from the registry values Windows keeps, with the ids, names and
// drivers of real adapters.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "port_list_posix.h"
#include "port_registry.h"
#include "usb_adapter.h"

namespace fs = std::filesystem;

namespace {

struct Adapter {
    const char* tty;      // Linux port name; the COM port is COM5 for all
    const char* usbPath;  // the USB device under the host controller
    const char* vidPid;
    const char* maker;
    const char* product;
    const char* serial;
    bool acm;  // CDC ACM: the tty hangs off the USB interface, not a usb-serial port
    const char* linuxDriver;
    const char* windowsService;
    const char* windowsHardwareId;
    int latencyMs;  // -1: the driver has no latency timer
    // Expected: chip family, then the description of each platform.
    const char* chip;
    const char* linuxFacts;
    const char* windowsFacts;
};

const Adapter kAdapters[] = {
    {"ttyUSB0", "1-2", "0403:6001", "FTDI", "FT232R USB UART", "A6008ISP", false, "ftdi_sio",
     "FTSER2K", R"(FTDIBUS\COMPORT&VID_0403&PID_6001)", 16, "FTDI",
     "FTDI 0403:6001, driver ftdi_sio, latency timer 16 ms",
     "FTDI 0403:6001, driver FTSER2K, latency timer 16 ms"},
    {"ttyUSB1", "1-3", "0403:6014", "FTDI", "Single RS232-HS", "FT4VLS2M", false, "ftdi_sio",
     "FTSER2K", R"(FTDIBUS\COMPORT&VID_0403&PID_6014)", 1, "FTDI",
     "FTDI 0403:6014, driver ftdi_sio, latency timer 1 ms",
     "FTDI 0403:6014, driver FTSER2K, latency timer 1 ms"},
    {"ttyUSB2", "1-4", "1a86:7523", "", "USB Serial", "", false, "ch341-uart", "CH341SER_A64",
     R"(USB\VID_1A86&PID_7523&REV_0264)", -1, "CH340", "CH340 1a86:7523, driver ch341-uart",
     "CH340 1a86:7523, driver CH341SER_A64"},
    {"ttyUSB3", "1-5", "10c4:ea60", "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001",
     false, "cp210x", "silabser", R"(USB\VID_10C4&PID_EA60&REV_0100)", -1, "CP210x",
     "CP210x 10c4:ea60, driver cp210x", "CP210x 10c4:ea60, driver silabser"},
    {"ttyUSB4", "1-6", "067b:2303", "Prolific Technology Inc.", "USB-Serial Controller", "", false,
     "pl2303", "Ser2pl64", R"(USB\VID_067B&PID_2303&REV_0300)", -1, "PL2303",
     "PL2303 067b:2303, driver pl2303", "PL2303 067b:2303, driver Ser2pl64"},
    {"ttyACM0", "1-7", "0483:5740", "STMicroelectronics", "STM32 Virtual ComPort", "205E3072594D",
     true, "cdc_acm", "usbser", R"(USB\VID_0483&PID_5740&REV_0200)", -1, "",
     "USB 0483:5740, driver cdc_acm", "USB 0483:5740, driver usbser"},
};

void PrintTo(const Adapter& adapter, std::ostream* out) {
    *out << adapter.tty << " " << adapter.vidPid;
}

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

// Lays an adapter out as the kernel does: the USB device with its ids, its interface, the
// usb-serial port (or the interface itself for CDC ACM) with its driver, the tty class entry,
// the usb-serial bus entry and udev's by-id link.
void AddAdapter(const fs::path& root, const Adapter& a) {
    const fs::path sys = root / "sys";
    const fs::path usb = sys / "devices/pci0000:00/0000:00:14.0/usb1" / a.usbPath;
    const std::string vidPid = a.vidPid;
    WriteText(usb / "idVendor", vidPid.substr(0, 4));
    WriteText(usb / "idProduct", vidPid.substr(5));
    if (*a.maker != '\0') {
        WriteText(usb / "manufacturer", a.maker);
    }
    WriteText(usb / "product", a.product);
    if (*a.serial != '\0') {
        WriteText(usb / "serial", a.serial);
    }
    const fs::path interface = usb / (std::string(a.usbPath) + ":1.0");
    const fs::path port = a.acm ? interface : interface / a.tty;
    const fs::path drivers = sys / (a.acm ? "bus/usb/drivers" : "bus/usb-serial/drivers");
    fs::create_directories(drivers / a.linuxDriver);
    Link(drivers / a.linuxDriver, port / "driver");
    const fs::path classDevice = port / "tty" / a.tty;
    Link(port, classDevice / "device");
    Link(classDevice, sys / "class/tty" / a.tty);
    if (!a.acm) {
        Link(port, sys / "bus/usb-serial/devices" / a.tty);
    }
    if (a.latencyMs >= 0) {
        WriteText(port / "latency_timer", std::to_string(a.latencyMs));
    }
    WriteText(root / "dev" / a.tty, "");
    const std::string byId = std::string("usb-") + a.product + "-if00";
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink(root / "dev" / a.tty, root / "dev/serial/by-id" / byId);
}

class FakeDevice final : public IDeviceRegistry {
  public:
    explicit FakeDevice(const Adapter& a) : m_adapter(a) {}
    std::string HardwareId() const override { return m_adapter.windowsHardwareId; }
    std::string InstanceId() const override { return R"(USB\VID_0000&PID_0000\5&1A2B3C4D&0&2)"; }
    std::string FriendlyName() const override { return "USB Serial Port (COM5)"; }
    std::string Service() const override { return m_adapter.windowsService; }
    std::string ParameterText(const char* name) const override {
        return std::string(name) == "PortName" ? "COM5" : "";
    }
    std::optional<std::uint32_t> ParameterNumber(const char* name) const override {
        if (std::string(name) != "LatencyTimer" || m_adapter.latencyMs < 0) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(m_adapter.latencyMs);
    }

  private:
    const Adapter& m_adapter;
};

class UsbAdapters : public ::testing::TestWithParam<Adapter> {
  protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "ptz-sysfs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        s_root = new fs::path(pattern);
        for (const Adapter& adapter : kAdapters) {
            AddAdapter(*s_root, adapter);
        }
        // A legacy UART with no chip behind it, and a virtual console: neither is listed.
        const fs::path uart = *s_root / "sys/devices/platform/serial8250";
        WriteText(uart / "tty/ttyS1/type", "0");
        Link(uart, uart / "tty/ttyS1/device");
        Link(uart / "tty/ttyS1", *s_root / "sys/class/tty/ttyS1");
        fs::create_directories(*s_root / "sys/class/tty/tty1");
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*s_root, ec);
        delete s_root;
    }
    static SystemRoots Roots() {
        return SystemRoots{*s_root / "sys", *s_root / "dev", *s_root / "proc"};
    }
    static fs::path* s_root;
};
fs::path* UsbAdapters::s_root = nullptr;

TEST_P(UsbAdapters, ChipDriverAndLatencyTimerOnLinuxAndWindows) {
    const Adapter& a = GetParam();
    EXPECT_EQ(UsbChipFamily(a.vidPid), a.chip);
    const std::string root = s_root->string();
    const std::string latencyFile =
        root + "/sys/bus/usb-serial/devices/" + a.tty + "/latency_timer";
    const std::string slow =
        "the adapter's latency timer holds each answer up to 16 ms; lower it "
        "to 1 ms: ";

    const auto ports = ListSerialPortsUnder(Roots());
    ASSERT_EQ(ports.size(), std::size(kAdapters));
    const auto port = std::find_if(ports.begin(), ports.end(), [&](const SerialPortInfo& p) {
        return p.name == root + "/dev/" + a.tty;
    });
    ASSERT_NE(port, ports.end());
    EXPECT_EQ(port->vidPid, a.vidPid);
    EXPECT_EQ(port->serialNumber, a.serial);
    EXPECT_EQ(port->stablePath, root + "/dev/serial/by-id/usb-" + a.product + "-if00");
    EXPECT_EQ(DescribeAdapter(*port), a.linuxFacts);
    EXPECT_EQ(LatencyAdvice(*port),
              a.latencyMs == 16 ? slow + "echo 1 | sudo tee " + latencyFile : "");

    const SerialPortInfo windows = DescribeRegisteredPort(FakeDevice(a));
    EXPECT_EQ(windows.name, "COM5");
    EXPECT_EQ(DescribeAdapter(windows), a.windowsFacts);
    EXPECT_EQ(LatencyAdvice(windows),
              a.latencyMs == 16 ? slow +
                                      "Device Manager > Ports (COM & LPT) > COM5 > Properties > "
                                      "Port Settings > Advanced > Latency Timer (msec): 1"
                                : "");
}

INSTANTIATE_TEST_SUITE_P(CommonAdapters, UsbAdapters, ::testing::ValuesIn(kAdapters),
                         [](const auto& info) { return std::string(info.param.tty); });

TEST_F(UsbAdapters, ProgramsThatClaimAdaptersAreFoundAmongTheRunningProcesses) {
    const fs::path proc = *s_root / "proc";
    WriteText(proc / "1/comm", "systemd");
    WriteText(proc / "812/comm", "ModemManager");
    WriteText(proc / "977/comm", "brltty");
    WriteText(proc / "978/comm", "brltty");
    WriteText(proc / "1203/comm", "brltty-setup");
    WriteText(proc / "self/comm", "ModemManager");
    EXPECT_EQ(RunningPortClaimersUnder(Roots()),
              (std::vector<std::string>{"ModemManager", "brltty"}));
    fs::remove_all(proc / "812");
    fs::remove_all(proc / "977");
    fs::remove_all(proc / "978");
    EXPECT_TRUE(RunningPortClaimersUnder(Roots()).empty());
}

}  // namespace
