#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "image_stream.h"
#include "upgrade_frame.h"

namespace {

// An empty image would still make the head erase and take one frame of nothing.
std::string EmptyImageText(const std::string& path) {
    return "The image '" + path + "' is empty: there is nothing to load";
}

bool ToPath(const std::string& text, std::filesystem::path& path) {
    try {
        path = std::filesystem::u8path(text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

ImageFile OpenImage(const std::string& path) {
    ImageFile image;
    ImageStream opened = OpenImageStream(path);
    const std::string named = "the image '" + path + "'";
    switch (opened.error) {
        case ImageOpenError::None:
            break;
        case ImageOpenError::Unreadable:
            image.error = "Failed to open " + named + ": " + opened.reason;
            return image;
        case ImageOpenError::Directory:
            image.error = "Failed to read " + named + ": it is a directory";
            return image;
        case ImageOpenError::NotRegular:
            // Opening a FIFO waits for a writer, and a device may never end.
            image.error = "Failed to read " + named +
                          ": it is not a regular file (a pipe, device or socket); give the "
                          "firmware file itself";
            return image;
        case ImageOpenError::Empty:
            image.error = EmptyImageText(path);
            return image;
        case ImageOpenError::TooLarge:
            image.error = "The image '" + path + "' cannot be sent: " +
                          CheckImageSize(opened.size).value_or("it is too large");
            return image;
    }
    // Read whole now: a file changed or cut short later cannot reach the line.
    image.bytes.reserve(static_cast<std::size_t>(opened.size));
    constexpr std::size_t kChunk = 65536;
    std::vector<std::uint8_t> chunk(kChunk);
    std::FILE* stream = opened.stream.get();
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stream);
        image.bytes.insert(image.bytes.end(), chunk.begin(),
                           chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size()) {
            break;
        }
        if (CheckImageSize(static_cast<std::int64_t>(image.bytes.size()))) {
            break;  // grew past what can be sent while being read; reported below
        }
    }
    if (std::ferror(stream) != 0) {
        image.error = "Failed to read " + named + ": " + std::generic_category().message(errno);
        image.bytes.clear();
        return image;
    }
    image.size = static_cast<std::int64_t>(image.bytes.size());
    if (image.size == 0) {
        image.error = EmptyImageText(path);
    } else if (const auto tooLarge = CheckImageSize(image.size)) {
        image.error = "The image '" + path + "' cannot be sent: " + *tooLarge;
    }
    if (!image.error.empty()) {
        image.bytes.clear();
    }
    return image;
}

bool IsSameFile(const std::string& output, const std::string& image) {
    std::filesystem::path out;
    std::filesystem::path in;
    if (!ToPath(output, out) || !ToPath(image, in)) {
        return false;
    }
    std::error_code ec;
    return std::filesystem::equivalent(out, in, ec) && !ec;
}
