#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/base/WholeFile.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"

namespace velmo::test {

// A temporary Application Support folder ($XDG_DATA_HOME) and a main bundle with the given
// identifier (none: no identifier) for the life of the fixture.
class StorageSandbox {
public:
    explicit StorageSandbox(std::optional<std::string> bundleIdentifier = "com.example.velmo", std::string bundleName = "Velmo.app")
        : data_("XDG_DATA_HOME", dir_ / "data") {
        PlistValue::Dictionary info;
        if (bundleIdentifier) info["CFBundleIdentifier"] = *bundleIdentifier;
        dir_.write(bundleName + "/Contents/Info.plist", PropertyList::toXML(info));
        bundle_.emplace(dir_ / bundleName);
    }

    const velmo::test::TestDirectory& dir() const { return dir_; }
    std::filesystem::path dataHome() const { return dir_ / "data"; }

    static std::optional<std::string> read(const std::filesystem::path& file) { return velmo::readWholeFile(file); }
    static void write(const std::filesystem::path& file, const std::string& contents) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << contents;
    }

private:
    velmo::test::TestDirectory dir_;
    velmo::test::EnvironmentVariable data_;
    std::optional<velmo::Bundle::Scope> bundle_;
};

}  // namespace velmo::test
