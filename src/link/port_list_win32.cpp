// Serial ports on Windows: the COM devices of the DOS device namespace, described by the device
// manager's Ports class (name, USB ids, serial number) or else by the SERIALCOMM driver map.
#include <windows.h>
// setupapi.h needs the types of windows.h first.
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "port_list.h"
#include "port_registry.h"
#include "utf16_text.h"

namespace {

// Driver device name (\Device\Serial0, \Device\VCP0) of each COM port, from the registry.
std::vector<std::pair<std::wstring, std::wstring>> SerialCommMap() {
    std::vector<std::pair<std::wstring, std::wstring>> map;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return map;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t value[256];
        DWORD nameLength = 256;
        DWORD valueBytes = sizeof(value);
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &valueBytes) != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ) {
            value[std::min<DWORD>(valueBytes / sizeof(wchar_t), 255)] = L'\0';
            map.emplace_back(value, name);
        }
    }
    RegCloseKey(key);
    return map;
}

// The device manager's "Ports (COM & LPT)" class, {4d36e978-e325-11ce-bfc1-08002be10318}.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// One device of the Ports class as the registry describes it, read when asked.
class CSetupApiDevice final : public IDeviceRegistry {
  public:
    CSetupApiDevice(HDEVINFO devices, SP_DEVINFO_DATA& device)
        : m_devices(devices),
          m_device(device),
          m_parameters(
              SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ)) {}
    ~CSetupApiDevice() override {
        if (m_parameters != INVALID_HANDLE_VALUE) {
            RegCloseKey(m_parameters);
        }
    }
    CSetupApiDevice(const CSetupApiDevice&) = delete;
    CSetupApiDevice& operator=(const CSetupApiDevice&) = delete;

    std::string HardwareId() const override { return Property(SPDRP_HARDWAREID); }
    std::string FriendlyName() const override { return Property(SPDRP_FRIENDLYNAME); }
    std::string Service() const override { return Property(SPDRP_SERVICE); }
    std::string InstanceId() const override {
        wchar_t instance[512] = {};
        if (SetupDiGetDeviceInstanceIdW(m_devices, &m_device, instance, 511, nullptr) == FALSE) {
            return {};
        }
        return WideToUtf8(instance);
    }
    std::string ParameterText(const char* name) const override {
        wchar_t value[256] = {};
        DWORD bytes = sizeof(value) - sizeof(wchar_t);
        DWORD type = 0;
        if (m_parameters == INVALID_HANDLE_VALUE ||
            RegQueryValueExW(m_parameters, Utf8ToWide(name).c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return {};
        }
        return WideToUtf8(value);
    }
    std::optional<std::uint32_t> ParameterNumber(const char* name) const override {
        DWORD value = 0;
        DWORD bytes = sizeof(value);
        DWORD type = 0;
        if (m_parameters == INVALID_HANDLE_VALUE ||
            RegQueryValueExW(m_parameters, Utf8ToWide(name).c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS ||
            type != REG_DWORD) {
            return std::nullopt;
        }
        return value;
    }

  private:
    std::string Property(DWORD property) const {
        wchar_t value[512] = {};
        DWORD type = 0;
        if (SetupDiGetDeviceRegistryPropertyW(m_devices, &m_device, property, &type,
                                              reinterpret_cast<BYTE*>(value), sizeof(value) - 2,
                                              nullptr) == FALSE) {
            return {};
        }
        return WideToUtf8(value);  // of a REG_MULTI_SZ, its first string
    }

    HDEVINFO m_devices;
    SP_DEVINFO_DATA& m_device;
    HKEY m_parameters;
};

// What the device manager knows of each present COM port.
std::vector<SerialPortInfo> DeviceManagerPorts() {
    std::vector<SerialPortInfo> ports;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device) != FALSE; ++i) {
        SerialPortInfo info = DescribeRegisteredPort(CSetupApiDevice(devices, device));
        if (!info.name.empty()) {
            ports.push_back(std::move(info));
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    std::vector<wchar_t> names(65536);
    DWORD length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    const auto map = SerialCommMap();
    const auto described = DeviceManagerPorts();
    for (const wchar_t* name = names.data(); length > 0 && *name != L'\0';
         name += wcslen(name) + 1) {
        const std::wstring device(name);
        if (device.rfind(L"COM", 0) != 0 || device.size() < 4 ||
            !std::all_of(device.begin() + 3, device.end(), iswdigit)) {
            continue;
        }
        SerialPortInfo info;
        info.name = WideToUtf8(device);
        for (const auto& [com, driver] : map) {
            if (com == device) {
                info.description = WideToUtf8(driver);
            }
        }
        for (const SerialPortInfo& known : described) {
            if (known.name == info.name) {
                const std::string driverName = info.description;
                info = known;
                if (info.description.empty()) {
                    info.description = driverName;
                }
            }
        }
        ports.push_back(info);
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

SerialPortInfo DescribeSerialPort(const std::string& port) {
    // "\\.\COM12" and "com12" open the same port as "COM12".
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    for (SerialPortInfo& info : ListSerialPorts()) {
        if (info.name == name) {
            return info;
        }
    }
    SerialPortInfo unlisted;
    unlisted.name = port;
    return unlisted;
}

std::string DescribePortHolders(const std::string& /*port*/) {
    return {};  // Windows does not say which process holds a COM port
}

std::vector<std::string> RunningPortClaimers() {
    return {};  // the programs that claim adapters on Linux desktops have no Windows service
}
