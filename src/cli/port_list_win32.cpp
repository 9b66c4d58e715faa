// Serial ports on Windows: the COM devices of the DOS device namespace, and what the
// SERIALCOMM map says drives each.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port_list.h"

namespace {

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

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

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    std::vector<wchar_t> names(65536);
    DWORD length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    const auto map = SerialCommMap();
    for (const wchar_t* name = names.data(); length > 0 && *name != L'\0';
         name += wcslen(name) + 1) {
        const std::wstring device(name);
        if (device.rfind(L"COM", 0) != 0 || device.size() < 4 ||
            !std::all_of(device.begin() + 3, device.end(), iswdigit)) {
            continue;
        }
        SerialPortInfo info;
        info.name = Narrow(device);
        for (const auto& [com, driver] : map) {
            if (com == device) {
                info.description = Narrow(driver);
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
