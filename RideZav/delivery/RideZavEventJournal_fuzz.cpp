// A journal file is what a killed process leaves: whatever bytes it holds must be read as whole
// entries or none, written as event files and read back, never crash.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "RideZav/delivery/RideZavEventJournal.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "platform/foundation/TestDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : ridezav::RideZavEventJournal::pending(input)) (void)entry.contents.size();

    static const velmo::test::TestDirectory work;
    const auto folder = std::filesystem::path(work.path()) / "ridezav.queueFolder";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / ".ridezav-journal-1-0-0", std::ios::binary) << input;
    ridezav::RideZavFileBackedQueue store(folder);
    (void)store.peek(store.depth());
    return 0;
}
