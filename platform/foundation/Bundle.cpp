#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace velmo {
namespace {

std::mutex& mainMutex() {
    static std::mutex m;
    return m;
}
const Bundle*& installedMain() {
    static const Bundle* current = nullptr;
    return current;
}

std::string executableDirectory() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::filesystem::current_path(error).string();
    return exe.parent_path().string();
}

}  // namespace

PropertyListFile readPropertyListDictionary(const std::string& path) {
    PropertyListFile file;
    std::error_code error;
    file.exists = std::filesystem::exists(path, error);
    if (!file.exists) return file;
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (!stream) {
        file.problem = std::strerror(errno);
        return file;
    }
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) bytes.append(buffer, n);
    const bool failed = std::ferror(stream);
    const int readErrno = errno;
    std::fclose(stream);
    if (failed) {
        file.problem = std::strerror(readErrno);
        return file;
    }
    try {
        PlistValue contents = PropertyList::parse(bytes);
        if (const auto* dictionary = contents.asDictionary()) {
            file.dictionary = *dictionary;
        } else {
            file.problem = "not a dictionary";
        }
    } catch (const PropertyListError& e) {
        file.problem = e.message();
    }
    return file;
}

Bundle::Bundle(std::string bundlePath)
    : bundlePath_(std::move(bundlePath)) {
    PropertyListFile info = readPropertyListDictionary(infoPlistPath());
    info_ = std::move(info.dictionary);
    infoProblem_ = std::move(info.problem);
}

std::string Bundle::mainBundlePath() {
    if (const char* path = std::getenv("VELMO_BUNDLE"); path && *path) return path;
    return executableDirectory() + "/Velmo.app";
}

const Bundle& Bundle::main() {
    std::lock_guard lock(mainMutex());
    if (const Bundle* installed = installedMain()) return *installed;
    static const Bundle* process = new Bundle(mainBundlePath());  // lives for the whole process
    return *process;
}

PlistValue Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto it = info_.find(key);
    return it == info_.end() ? PlistValue() : it->second;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    std::string path = bundlePath_ + "/Contents/Resources/" + name;
    if (!type.empty()) path += "." + type;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    const PlistValue value = objectForInfoDictionaryKey("CFBundleIdentifier");
    const auto* identifier = value.asString();
    if (!identifier || identifier->empty()) return std::nullopt;
    return *identifier;
}

Bundle::Scope::Scope(std::string bundlePath)
    : bundle_(std::make_unique<Bundle>(std::move(bundlePath))) {
    std::lock_guard lock(mainMutex());
    previous_ = installedMain();
    installedMain() = bundle_.get();
}

Bundle::Scope::~Scope() {
    std::lock_guard lock(mainMutex());
    installedMain() = previous_;
}

}  // namespace velmo
