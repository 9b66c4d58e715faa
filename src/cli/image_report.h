// What the loader can tell about an image without any port: the frame list (--inspect) and the
// exact frame stream a transfer sends (--emit).
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "cli_options.h"
#include "image_file.h"

// Prints every frame (index, load address, last-block mark, sum), the command, the bytes the
// transfer sends and the time they need at 115200 bit/s. Returns the exit status.
int InspectImage(const ImageFile& image, const CliOptions& options, std::ostream& out);

// Writes the frames of a clean transfer, in order, to `path`. Returns the exit status.
int EmitFrameStream(const ImageFile& image, const std::string& path, std::ostream& err);

// Seconds the bytes need on a line at `baudRate` with 8N1 (ten bits per byte).
double WireSeconds(std::int64_t bytes, std::int32_t baudRate);
