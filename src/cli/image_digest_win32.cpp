// SHA-256 on Windows: the system's own CNG (bcrypt.dll). The .exe is linked statically and ships
// alone, and a static crypto library would add a megabyte and its licence terms for one hash.
#include <windows.h>
// after windows.h, which it needs
#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "image_digest.h"

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

bool ComputeSha256(const std::vector<std::uint8_t>& bytes, Sha256Digest& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    // Windows 7 wants the caller's buffer for the hash object.
    DWORD objectLength = 0;
    ULONG got = 0;
    bool ok = Succeeded(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectLength),
                                          sizeof(objectLength), &got, 0));
    std::vector<UCHAR> object(ok ? objectLength : 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    ok = ok &&
         Succeeded(BCryptCreateHash(algorithm, &hash, object.data(), objectLength, nullptr, 0, 0));
    constexpr std::size_t kMaxChunk = std::numeric_limits<ULONG>::max();
    for (std::size_t at = 0; ok && at < bytes.size(); at += kMaxChunk) {
        const auto length = static_cast<ULONG>(std::min(kMaxChunk, bytes.size() - at));
        ok = Succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + at), length, 0));
    }
    ok = ok &&
         Succeeded(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}
