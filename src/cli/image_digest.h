// The image's SHA-256, as the fleet report records it: a resumed run skips a head only when it
// was upgraded with exactly these bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using Sha256Digest = std::array<std::uint8_t, 32>;

// 64 lower-case hex digits; empty when the system could not compute it.
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);

// The digest by the platform's library (one source per platform); false when it failed.
bool ComputeSha256(const std::vector<std::uint8_t>& bytes, Sha256Digest& digest);
