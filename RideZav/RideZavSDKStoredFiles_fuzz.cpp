// The files an earlier run left in the analytics folder (identity, flags, remote settings, queue
// files, the legacy queue) are outside input: whatever they hold, set-up, a capture, a flush and
// close must go through without a crash. The input is the files' contents, one after another,
// separated by NUL bytes, in the order of the storage keys, then a queued event and a replay one.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/StorageKey.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/VirtualMainLoop.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static velmo::test::StorageSandbox sandbox;
    static velmo::VirtualMainLoopScope loop;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        parts.push_back(input.substr(start, end - start));
        start = end + 1;
    }

    ridezav::RideZavConfig config("phc_fuzz", "http://127.0.0.1:9");
    config.disableReachabilityForTesting = true;
    config.disableQueueTimerForTesting = true;
    config.disableRemoteConfigForTesting = true;
    config.disableFlushOnBackgroundForTesting = true;
    config.captureApplicationLifecycleEvents = false;
    const std::filesystem::path folder = sandbox.dataHome() / "com.example.velmo" / "phc_fuzz";
    std::filesystem::remove_all(folder);
    std::size_t next = 0;
    for (ridezav::StorageKey key : ridezav::allStorageKeys()) {
        if (next >= parts.size()) break;
        const std::string_view part = parts[next++];
        if (part.empty()) continue;
        const std::string name(ridezav::rawValue(key));
        // The queue folders hold one file per event; every other key is one file.
        if (key == ridezav::StorageKey::queue || key == ridezav::StorageKey::replayQeueue)
            velmo::test::StorageSandbox::write(folder / name / "1704067200.5", std::string(part));
        else
            velmo::test::StorageSandbox::write(folder / name, std::string(part));
    }

    auto sdk = ridezav::RideZavSDK::create(config);
    sdk->setup(config);
    sdk->capture("fuzz_event", ridezav::Object{{"n", 1}});
    sdk->flush();
    loop.loop().runUntil([] { return false; }, velmo::Seconds(0.01));
    sdk->close();
    loop.loop().runUntilIdle();
    return 0;
}
