#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace velmo::test {

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TestDirectory {
public:
    TestDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TestDirectory() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

    // Writes `contents` to `relative`, making the folders on the way.
    std::string write(const std::string& relative, const std::string& contents) const {
        const std::filesystem::path file = std::filesystem::path(path_) / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << contents;
        return file.string();
    }

private:
    std::string path_;
};

}  // namespace velmo::test
