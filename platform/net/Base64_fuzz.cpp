// Base64 from services: a text decodes one way only, so what decodes encodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/net/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto bytes = velmo::Base64::decode(text)) {
        if (velmo::Base64::encode(*bytes) != text) std::abort();
    }
    const auto back = velmo::Base64::decode(velmo::Base64::encode(text));
    if (!back || *back != text) std::abort();
    return 0;
}
