#include "port_identity.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "network_port_name.h"

namespace {

// The ports held by this process, by identity, and the opening that uses each now.
struct HeldPort {
    bool adopted = false;
    PortHandle opening = kInvalidPortHandle;
};

std::mutex g_heldMutex;
std::map<std::string, HeldPort> g_held;

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    return text;
}

}  // namespace

std::string CanonicalPortName(const std::string& name) {
    if (!IsNetworkPortName(name)) {
        return LocalPortIdentity(name);
    }
    std::string error;
    const auto address = ParseNetworkPortName(name, error);
    return address ? address->Canonical() : name;
}

std::string WindowsDeviceName(const std::string& name) {
    std::string device = Upper(name);
    std::replace(device.begin(), device.end(), '/', '\\');
    for (const char* prefix : {R"(\\.\)", R"(\\?\)"}) {
        if (device.rfind(prefix, 0) == 0) {
            device.erase(0, std::string(prefix).size());
            break;
        }
    }
    const std::string digits = device.size() > 3 ? device.substr(3) : std::string();
    const bool comPort = device.rfind("COM", 0) == 0 && !digits.empty() && digits.size() <= 9 &&
                         digits.find_first_not_of("0123456789") == std::string::npos;
    return comPort ? "COM" + std::to_string(std::stoul(digits)) : device;
}

CPortHold::~CPortHold() {
    if (m_identity.empty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(g_heldMutex);
        g_held.erase(m_identity);
    }
    UnlockLocalPort(m_lock);
}

bool CPortHold::Take(const std::string& name, std::string& error) {
    if (IsNetworkPortName(name) || !m_identity.empty()) {
        return true;
    }
    const std::string identity = LocalPortIdentity(name);
    {
        const std::lock_guard<std::mutex> lock(g_heldMutex);
        if (!g_held.emplace(identity, HeldPort{}).second) {
            error = "Holding '" + name + "' for its heads: another bus of this run has the port";
            return false;
        }
    }
    if (!LockLocalPort(name, m_lock, error)) {
        const std::lock_guard<std::mutex> lock(g_heldMutex);
        g_held.erase(identity);
        return false;
    }
    m_identity = identity;
    return true;
}

bool AdoptHeldPort(const std::string& name, PortHandle opening) {
    const std::string identity = LocalPortIdentity(name);
    const std::lock_guard<std::mutex> lock(g_heldMutex);
    const auto held = g_held.find(identity);
    if (held == g_held.end() || held->second.adopted) {
        return false;
    }
    held->second = HeldPort{true, opening};
    return true;
}

void ReleaseHeldPort(PortHandle opening) {
    const std::lock_guard<std::mutex> lock(g_heldMutex);
    for (auto& [identity, held] : g_held) {
        if (held.adopted && held.opening == opening) {
            held = HeldPort{};
        }
    }
}
