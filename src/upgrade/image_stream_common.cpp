// The checks of an opened image that are the same on every platform.
#include "image_stream_common.h"

#include "upgrade_frame.h"

void CheckOpenedImage(ImageStream& image) {
    std::FILE* file = image.stream.get();
    if (std::fseek(file, 0, SEEK_END) != 0) {
        image.error = ImageOpenError::Unreadable;
        image.reason = "seek failed";
    } else {
        image.size = static_cast<std::int64_t>(std::ftell(file));
        if (image.size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
            image.error = ImageOpenError::Unreadable;
            image.reason = "size unknown";
        } else if (image.size == 0) {
            // One frame of nothing marked last would make the head take it as its whole firmware.
            image.error = ImageOpenError::Empty;
        } else if (CheckImageSize(image.size)) {
            image.error = ImageOpenError::TooLarge;
        }
    }
    if (image.error != ImageOpenError::None) {
        image.stream.reset();
    }
}
