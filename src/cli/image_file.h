// The firmware image as the loader reads it: read once, whole, before any port opens, so that a
// file changed or cut short during the run cannot reach the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImageFile {
    std::vector<std::uint8_t> bytes;
    std::int64_t size = 0;
    std::string error;  // why it cannot be used; empty when it can
};

// Reads the image (a read-only image is fine) and checks that a transfer can carry it: it must
// be a regular file (a FIFO or a device would block or never end), readable, not empty, and fit
// the 32-bit transfer counters.
ImageFile OpenImage(const std::string& path);

// True when `output` names the same file as `image` (same device and inode, however spelled):
// writing it would destroy the image. False when `output` does not exist yet.
bool IsSameFile(const std::string& output, const std::string& image);
