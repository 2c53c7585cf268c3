// A defaults file left behind by anyone: loading never throws, a change is always saved, and
// what is saved reads back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/UserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-defaults-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    static velmo::LogCapture quiet;  // one line per bad file is expected; keep the output clean
    const std::string path = folder + "/defaults.plist";
    std::filesystem::remove(path + ".corrupt");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    quiet.clear();
    velmo::UserDefaults defaults(path);
    defaults.setBool("velmo.fuzz.flag", true);
    const velmo::PlistValue saved = velmo::PropertyList::readFile(path);
    const auto* dictionary = saved.asDictionary();
    if (!dictionary || dictionary->count("velmo.fuzz.flag") != 1) std::abort();
    return 0;
}
