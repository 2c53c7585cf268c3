#include "crashreporter/async/WriterPackTesting.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace zvcrash::testing {

CapturedFile::CapturedFile()
    : fd_(memfd_create("zvcrash-captured", MFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
    zvcrash_async_file_init(&file_, fd_, 0);
}

CapturedFile::~CapturedFile() { close(fd_); }

std::vector<uint8_t> CapturedFile::bytes() {
    if (!zvcrash_async_file_flush(&file_)) throw std::runtime_error("flush failed");
    struct stat st {};
    if (fstat(fd_, &st) != 0) throw std::runtime_error("fstat failed");
    std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (n <= 0) throw std::runtime_error("pread failed");
        done += static_cast<size_t>(n);
    }
    return out;
}

}  // namespace zvcrash::testing
