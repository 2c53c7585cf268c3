#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/foundation/Logger.h"

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

Bundle::Bundle(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {
    const std::string infoPath = bundlePath_ + "/Contents/Info.plist";
    std::error_code error;
    if (!std::filesystem::exists(infoPath, error)) return;
    try {
        PlistValue info = PropertyList::readFile(infoPath);
        if (const auto* dictionary = info.asDictionary()) {
            info_ = *dictionary;
        } else {
            logLine("⚠️ Velmo: Ignoring " + infoPath + ": not a dictionary");
        }
    } catch (const PropertyListError& e) {
        logLine("⚠️ Velmo: Ignoring unreadable Info.plist: " + e.message());
    }
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

Bundle::Scope::Scope(std::string bundlePath) : bundle_(std::make_unique<Bundle>(std::move(bundlePath))) {
    std::lock_guard lock(mainMutex());
    previous_ = installedMain();
    installedMain() = bundle_.get();
}

Bundle::Scope::~Scope() {
    std::lock_guard lock(mainMutex());
    installedMain() = previous_;
}

}  // namespace velmo
