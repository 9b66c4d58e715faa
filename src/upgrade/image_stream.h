// Opening a firmware image for a transfer: read-only, a regular file (a FIFO or a device would
// block or never end), not empty, and small enough for the transfer's 32-bit counters.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

enum class ImageOpenError {
    None,
    Unreadable,  // missing, no permission, or the read failed
    Directory,
    NotRegular,  // a FIFO, device, socket, ...
    Empty,
    TooLarge,
};

struct ImageStream {
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> stream;
    std::int64_t size = 0;  // also set when the image is refused as empty or too large
    ImageOpenError error = ImageOpenError::None;
    std::string reason;  // the system's words for Unreadable
};

// `utf8Path` is a full path in UTF-8; Unicode names open on every platform.
ImageStream OpenImageStream(const std::string& utf8Path);
