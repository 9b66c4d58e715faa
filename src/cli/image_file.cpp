#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "upgrade_frame.h"
#include "utf8_io.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

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
    std::filesystem::path fsPath;
    if (!ToPath(path, fsPath)) {
        image.error = "Failed to open the image '" + path + "': the name is not valid text";
        return image;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(fsPath, ec);
    if (ec) {
        image.error = "Failed to open the image '" + path + "': " + ec.message();
        return image;
    }
    if (std::filesystem::is_directory(status)) {
        image.error = "Failed to read the image '" + path + "': it is a directory";
        return image;
    }
    if (!std::filesystem::is_regular_file(status)) {
        // Opening a FIFO waits for a writer, and a device may never end.
        image.error = "Failed to read the image '" + path +
                      "': it is not a regular file (a pipe, device or socket); give the "
                      "firmware file itself";
        return image;
    }
    const std::unique_ptr<std::FILE, FileCloser> stream(OpenUtf8File(path, "rb"));
    if (!stream) {
        image.error =
            "Failed to open the image '" + path + "': " + std::generic_category().message(errno);
        return image;
    }
    const auto expected = std::filesystem::file_size(fsPath, ec);
    if (!ec) {
        if (const auto tooLarge = CheckImageSize(static_cast<std::int64_t>(expected))) {
            image.error = "The image '" + path + "' cannot be sent: " + *tooLarge;
            return image;
        }
        image.bytes.reserve(static_cast<std::size_t>(expected));
    }
    constexpr std::size_t kChunk = 65536;
    std::vector<std::uint8_t> chunk(kChunk);
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stream.get());
        image.bytes.insert(image.bytes.end(), chunk.begin(),
                           chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size()) {
            break;
        }
        if (CheckImageSize(static_cast<std::int64_t>(image.bytes.size()))) {
            break;  // grew past what can be sent while being read; reported below
        }
    }
    if (std::ferror(stream.get()) != 0) {
        image.error =
            "Failed to read the image '" + path + "': " + std::generic_category().message(errno);
        image.bytes.clear();
        return image;
    }
    image.size = static_cast<std::int64_t>(image.bytes.size());
    if (image.size == 0) {
        // An empty image would still make the head erase and take one frame of nothing.
        image.error = "The image '" + path + "' is empty: there is nothing to load";
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
