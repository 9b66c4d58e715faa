// The firmware image as the loader reads it: opened once, its size checked before any port opens.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct ImageFile {
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> stream;
    std::int64_t size = 0;
    std::string error;  // why it cannot be used; empty when it can
};

// Opens the image for reading only (a read-only image is fine) and checks that a transfer can
// carry it: it must exist, be readable, not be empty and fit the 32-bit transfer counters.
ImageFile OpenImage(const std::string& path);
