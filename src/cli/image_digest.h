// The image's SHA-256, as the fleet report records it: a resumed run skips a head only when it
// was upgraded with exactly these bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 64 lower-case hex digits.
std::string Sha256Hex(const std::vector<std::uint8_t>& bytes);
