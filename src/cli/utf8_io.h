// Command-line arguments and file names as UTF-8 on every platform, so that an image in a folder
// with a non-ASCII name opens on Windows as well.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

std::vector<std::string> Utf8Arguments(int argc, char** argv);

// fopen for a UTF-8 path.
std::FILE* OpenUtf8File(const std::string& path, const char* mode);
