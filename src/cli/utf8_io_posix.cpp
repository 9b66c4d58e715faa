// POSIX already passes arguments and file names as the bytes the user typed.
#include "utf8_io.h"

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

std::FILE* OpenUtf8File(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}
