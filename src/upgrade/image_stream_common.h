// Shared by the platform files of OpenImageStream.
#pragma once

#include "image_stream.h"

// Reads the size of the opened stream and refuses an empty or too large image (closing it).
void CheckOpenedImage(ImageStream& image);
