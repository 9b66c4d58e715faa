// Shared by the platform files of OpenImageStream.
#pragma once

#include <cstdint>

#include "image_stream.h"

// Takes the size the system reports for the opened file and refuses an empty or too large
// image (closing it).
void CheckOpenedImage(ImageStream& image, std::int64_t size);
