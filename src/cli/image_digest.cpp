#include "image_digest.h"

#include <gcrypt.h>

#include <array>
#include <cstdio>

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
    // libgcrypt wants its version check before first use; it is cheap and idempotent.
    static const char* const kVersion = gcry_check_version(nullptr);
    (void)kVersion;
    std::array<unsigned char, 32> digest{};
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const unsigned char byte : digest) {
        std::array<char, 3> text{};
        std::snprintf(text.data(), text.size(), "%02x", byte);
        hex += text.data();
    }
    return hex;
}
