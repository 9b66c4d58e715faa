// SHA-256 on Linux and macOS: libgcrypt, as the distribution ships it.
#include <gcrypt.h>

#include "image_digest.h"

bool ComputeSha256(const std::vector<std::uint8_t>& bytes, Sha256Digest& digest) {
    // libgcrypt wants its version check before first use; once is enough.
    static const bool kReady = gcry_check_version(nullptr) != nullptr;
    if (!kReady) {
        return false;
    }
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
    return true;
}
