// Test-only LD_PRELOAD library for ptz-upgrade: a name service that never answers for names
// under .blackhole.test (each look-up sleeps a minute), and the system's for every other name,
// so that a test can show that a look-up is held to the connect time limit.
#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr char kSilentDomain[] = ".blackhole.test";
constexpr std::chrono::seconds kSilence{60};

bool Silent(const char* node) {
    const std::size_t length = node == nullptr ? 0 : std::strlen(node);
    const std::size_t suffix = sizeof kSilentDomain - 1;
    return length > suffix && std::strcmp(node + length - suffix, kSilentDomain) == 0;
}
}  // namespace

// Named apart from glibc's declaration, whose names are reserved.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    if (Silent(node)) {
        std::this_thread::sleep_for(kSilence);
        return EAI_AGAIN;
    }
    using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<GetAddrInfo>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}
