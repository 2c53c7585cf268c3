// Queue folders and the legacy queue file are outside input: whatever bytes they hold must be
// migrated, loaded and read back as events or as none, never crash.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "platform/foundation/TestDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    static const velmo::test::TestDirectory work;
    const std::filesystem::path root = work.path();
    const auto folder = root / "ridezav.queueFolder";
    const auto legacy = root / "ridezav.queue.plist";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    // The same bytes as a legacy queue file and as one stored event.
    std::ofstream(legacy, std::ios::binary) << input;
    std::ofstream(folder / "1704067200.5", std::ios::binary) << input;

    ridezav::RideZavFileBackedQueue store(folder, legacy);
    for (const auto& contents : store.peek(store.depth())) {
        if (auto event = ridezav::RideZavQueue::decodeEvent(contents)) (void)event->toJSON();
    }
    return 0;
}
