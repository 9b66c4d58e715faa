// Test-only LD_PRELOAD library for ptz-upgrade: a name service that never answers for names
// under .blackhole.test (each look-up sleeps a minute), and the system's for every other name,
// so that a test can show that a look-up is held to the connect time limit.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>

namespace {
constexpr char kSilentDomain[] = ".blackhole.test";
constexpr unsigned kSilenceSeconds = 60;

bool Silent(const char* node) {
    const std::size_t length = node == nullptr ? 0 : std::strlen(node);
    const std::size_t suffix = sizeof kSilentDomain - 1;
    return length > suffix && std::strcmp(node + length - suffix, kSilentDomain) == 0;
}
}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    if (Silent(node)) {
        ::sleep(kSilenceSeconds);
        return EAI_AGAIN;
    }
    using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<GetAddrInfo>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}
