// Opening an image on POSIX systems: the file is checked to be a regular file before it is
// opened, and opened without blocking, so a FIFO can never hold the caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image_stream.h"
#include "image_stream_common.h"

ImageStream OpenImageStream(const std::string& utf8Path) {
    ImageStream image;
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        image.error = ImageOpenError::Unreadable;
        image.reason = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): one opener at a time
        return image;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        image.error =
            S_ISDIR(info.st_mode) ? ImageOpenError::Directory : ImageOpenError::NotRegular;
        return image;
    }
    image.stream.reset(::fdopen(fd, "rb"));
    if (!image.stream) {
        ::close(fd);
        image.error = ImageOpenError::Unreadable;
        image.reason = "cannot make a stream";
        return image;
    }
    CheckOpenedImage(image, static_cast<std::int64_t>(info.st_size));
    return image;
}
