#include "image_file.h"

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "upgrade_frame.h"
#include "utf8_io.h"

ImageFile OpenImage(const std::string& path) {
    ImageFile image;
    std::filesystem::path fsPath;
    try {
        fsPath = std::filesystem::u8path(path);
    } catch (const std::exception& e) {
        image.error = "Failed to open the image '" + path + "': the name is not valid text (" +
                      e.what() + ")";
        return image;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(fsPath, ec)) {
        image.error = "Failed to read the image '" + path + "': it is a directory";
        return image;
    }
    image.stream.reset(OpenUtf8File(path, "rb"));
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
