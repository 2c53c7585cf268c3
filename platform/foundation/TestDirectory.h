#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

// While it lives, a folder refuses entries made, removed or renamed (the files in it stay
// writable): without write permission for an ordinary user, immutable for root, whom permissions
// do not stop. `isReadOnly()` is false where neither could be set.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string path)
        : path_(std::move(path)) {
        if (::geteuid() != 0) {
            std::filesystem::permissions(path_, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
        } else {
            immutable_ = setImmutable(true);
        }
        const std::string probe = path_ + "/.probe";
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        readOnly_ = fd < 0;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.c_str());
        }
    }
    ~ReadOnlyFolder() { release(); }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    bool isReadOnly() const { return readOnly_; }
    void release() {
        if (immutable_) setImmutable(false);
        immutable_ = false;
        std::error_code error;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_write, std::filesystem::perm_options::add, error);
    }

private:
    bool setImmutable(bool on) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }

    std::string path_;
    bool immutable_ = false;
    bool readOnly_ = false;
};

}  // namespace velmo::test
