// The checks of an opened image that are the same on every platform.
#include "image_stream_common.h"

#include "upgrade_frame.h"

void CheckOpenedImage(ImageStream& image, std::int64_t size) {
    image.size = size;
    if (size == 0) {
        // One frame of nothing marked last would make the head take it as its whole firmware.
        image.error = ImageOpenError::Empty;
    } else if (CheckImageSize(size)) {
        image.error = ImageOpenError::TooLarge;
    }
    if (image.error != ImageOpenError::None) {
        image.stream.reset();
    }
}
