// Serial ports on Windows: the COM devices of the DOS device namespace, described by the device
// manager's Ports class (name, USB ids, serial number) or else by the SERIALCOMM driver map.
#include <windows.h>
// setupapi.h needs the types of windows.h first.
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port_list.h"
#include "usb_device_ids.h"
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

std::wstring DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t value[512] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                          reinterpret_cast<BYTE*>(value), sizeof(value) - 2,
                                          nullptr) == FALSE) {
        return {};
    }
    return value;  // of a REG_MULTI_SZ, its first string
}

std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    wchar_t name[64] = {};
    DWORD bytes = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(name), &bytes) == ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    return ok ? name : std::wstring();
}

// What the device manager knows of each present COM port, by port name.
std::vector<std::pair<std::wstring, SerialPortInfo>> DeviceManagerPorts() {
    std::vector<std::pair<std::wstring, SerialPortInfo>> ports;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device) != FALSE; ++i) {
        const std::wstring portName = PortNameOf(devices, device);
        if (portName.rfind(L"COM", 0) != 0) {
            continue;  // printer ports share the class
        }
        SerialPortInfo info;
        info.description = WideToUtf8(DeviceProperty(devices, device, SPDRP_FRIENDLYNAME));
        info.vidPid =
            UsbVidPidFromDeviceId(WideToUtf8(DeviceProperty(devices, device, SPDRP_HARDWAREID)));
        wchar_t instance[512] = {};
        if (SetupDiGetDeviceInstanceIdW(devices, &device, instance, 511, nullptr) != FALSE) {
            info.serialNumber = UsbSerialFromInstanceId(WideToUtf8(instance));
        }
        ports.emplace_back(portName, info);
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
        for (const auto& [com, known] : described) {
            if (com == device) {
                info.vidPid = known.vidPid;
                info.serialNumber = known.serialNumber;
                if (!known.description.empty()) {
                    info.description = known.description;
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

std::string DescribePortHolders(const std::string& /*port*/) {
    return {};  // Windows does not say which process holds a COM port
}
