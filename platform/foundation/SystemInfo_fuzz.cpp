// Fuzz target: os-release text as a distribution (or a user) leaves it behind.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/SystemInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto fields = velmo::parseOsRelease(text);
    for (const auto& [key, value] : fields)
        if (key.empty() || key.size() > size || value.size() > size) __builtin_trap();
    (void)velmo::localeLanguageCode(text);
    (void)velmo::kernelVersionNumbers(text);
    return 0;
}
