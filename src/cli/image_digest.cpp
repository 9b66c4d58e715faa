#include "image_digest.h"

#include <cstdio>

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
    Sha256Digest digest{};
    if (!ComputeSha256(bytes, digest)) {
        return {};
    }
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        std::array<char, 3> text{};
        std::snprintf(text.data(), text.size(), "%02x", byte);
        hex += text.data();
    }
    return hex;
}
