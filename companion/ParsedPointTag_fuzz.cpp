// Replies name a spot with a trailing tag: whatever the reply, reading it ends without a fault
// (the sanitizers watch), and the tag never takes more than the reply held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "companion/ParsedPointTag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const velmo::ParsedPointTag tag = velmo::parsePointTag(reply);
    if (tag.elementLabel && tag.elementLabel->size() > 3 * reply.size()) std::abort();
    return 0;
}
