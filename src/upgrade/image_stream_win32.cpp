// Opening an image on Windows: a Unicode path, read-only, and a regular file (not a device or
// a pipe, which could block or never end).
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "image_stream.h"
#include "image_stream_common.h"
#include "system_error_text.h"
#include "utf16_text.h"

ImageStream OpenImageStream(const std::string& utf8Path) {
    ImageStream image;
    const auto path = Utf8ToWideExact(utf8Path);
    if (!path) {
        image.error = ImageOpenError::Unreadable;
        image.reason = "the name is not valid text";
        return image;
    }
    const DWORD attributes = GetFileAttributesW(path->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        image.error = ImageOpenError::Unreadable;
        image.reason = SystemErrorText(GetLastError());
        return image;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        image.error = ImageOpenError::Directory;
        return image;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        image.error = ImageOpenError::NotRegular;
        return image;
    }
    image.stream.reset(_wfopen(path->c_str(), L"rb"));
    if (!image.stream) {
        image.error = ImageOpenError::Unreadable;
        image.reason = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): one opener at a time
        return image;
    }
    // The C library hands out the stream's system handle as an integer.
    const auto handle = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _get_osfhandle(_fileno(image.stream.get())));
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        image.stream.reset();
        image.error = ImageOpenError::NotRegular;
        return image;
    }
    if (GetFileSizeEx(handle, &size) == FALSE) {
        image.stream.reset();
        image.error = ImageOpenError::Unreadable;
        image.reason = SystemErrorText(GetLastError());
        return image;
    }
    CheckOpenedImage(image, size.QuadPart);
    return image;
}
