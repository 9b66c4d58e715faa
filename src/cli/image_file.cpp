#include "image_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "upgrade_frame.h"

ImageFile OpenImage(const std::string& path) {
    ImageFile image;
    const std::filesystem::path fsPath = std::filesystem::u8path(path);
    std::error_code ec;
    if (std::filesystem::is_directory(fsPath, ec)) {
        image.error = "Failed to read the image '" + path + "': it is a directory";
        return image;
    }
    image.stream.reset(std::fopen(path.c_str(), "rb"));
    if (!image.stream) {
        image.error =
            "Failed to open the image '" + path + "': " + std::generic_category().message(errno);
        return image;
    }
    const auto size = std::filesystem::file_size(fsPath, ec);
    if (ec) {
        image.error = "Failed to read the size of the image '" + path + "': " + ec.message();
        image.stream.reset();
        return image;
    }
    image.size = static_cast<std::int64_t>(size);
    if (image.size == 0) {
        // An empty image would still make the head erase and take one frame of nothing.
        image.error = "The image '" + path + "' is empty: there is nothing to load";
    } else if (const auto tooLarge = CheckImageSize(image.size)) {
        image.error = "The image '" + path + "' cannot be sent: " + *tooLarge;
    }
    if (!image.error.empty()) {
        image.stream.reset();
    }
    return image;
}
