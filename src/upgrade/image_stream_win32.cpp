// Opening an image on Windows: a Unicode path, read-only, and a regular file (not a device or
// a pipe, which could block or never end).
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "../link/utf16_text.h"
#include "image_stream.h"
#include "image_stream_common.h"

ImageStream OpenImageStream(const std::string& utf8Path) {
    ImageStream image;
    const std::wstring path = Utf8ToWide(utf8Path);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        image.error = ImageOpenError::Unreadable;
        image.reason = "not found";
        return image;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        image.error = ImageOpenError::NotRegular;
        return image;
    }
    image.stream.reset(_wfopen(path.c_str(), L"rb"));
    if (!image.stream) {
        image.error = ImageOpenError::Unreadable;
        image.reason = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): window thread only
        return image;
    }
    // The C library hands out the stream's system handle as an integer.
    const auto handle = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _get_osfhandle(_fileno(image.stream.get())));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        image.stream.reset();
        image.error = ImageOpenError::NotRegular;
        return image;
    }
    CheckOpenedImage(image);
    return image;
}
