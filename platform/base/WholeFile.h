#pragma once

#include <optional>
#include <string>

namespace velmo {

// Why readWholeFile gave nothing: the errno of the call that failed, and whether it was the
// opening (the file is missing or not permitted) rather than the reading.
struct FileReadFailure {
    int error = 0;
    bool opening = false;
};

// Every byte of the file at `path`, or absent when it cannot be opened or read to its end.
// Any thread.
std::optional<std::string> readWholeFile(const std::string& path, FileReadFailure* failure = nullptr);

}  // namespace velmo
