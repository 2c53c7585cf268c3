#include "platform/base/WholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velmo {

std::optional<std::string> readWholeFile(const std::string& path, FileReadFailure* failure) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (failure) *failure = {errno, true};
        return std::nullopt;
    }
    std::string contents;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            contents.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            if (failure) *failure = {errno, false};
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return contents;
}

}  // namespace velmo
