// Stored event files are outside input: whatever bytes a queue folder holds must read back as
// an event or as none, never crash. An event read back is written again exactly as the document
// writer would write it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "RideZav/core/RideZavUtils.h"
#include "RideZav/model/RideZavEvent.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = ridezav::parseJSON(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value || !value->isObject()) return 0;
    if (auto event = ridezav::RideZavEvent::fromJSON(*value->get<ridezav::Object>())) {
        const auto json = event->toJSON();
        if (ridezav::jsonData(json) != ridezav::jsonDataThroughDocument(json)) __builtin_trap();
    }
    return 0;
}
