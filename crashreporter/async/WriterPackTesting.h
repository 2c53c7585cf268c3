// Test support for the report encoder: an async file over an anonymous in-memory file, so that
// tests can read back exactly what the encoder wrote.
#pragma once

#include <cstdint>
#include <vector>

#include "crashreporter/async/zvcrash_async_file.h"

namespace zvcrash::testing {

class CapturedFile {
public:
    CapturedFile();
    ~CapturedFile();
    CapturedFile(const CapturedFile&) = delete;
    CapturedFile& operator=(const CapturedFile&) = delete;

    zvcrash_async_file* file() { return &file_; }
    // Flushes the async file and returns every byte written so far.
    std::vector<uint8_t> bytes();

private:
    int fd_;
    zvcrash_async_file file_;
};

}  // namespace zvcrash::testing
