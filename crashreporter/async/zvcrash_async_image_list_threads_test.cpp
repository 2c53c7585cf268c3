#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image_list.h"

namespace {

using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;

constexpr int kWriters = 4;
constexpr int kReaders = 4;
constexpr int kCycles = 10000;
constexpr int kImagesPerWriter = 4;

uint64_t imageAddress(int writer, int slot) { return 0x10000000ull + (static_cast<uint64_t>(writer) * kImagesPerWriter + slot) * 0x100000; }

TEST(ZVCrashImageListThreads, WritersAppendAndRemoveWhileReadersWalkWithoutLocks) {
    const auto fixture = MachOFixtureBuilder(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host)
                             .section("__TEXT", "__text", std::vector<uint8_t>(0x100, 0xcc))
                             .build();
    SimulatedTask task;
    std::set<uint64_t> known;
    for (int w = 0; w < kWriters; ++w) {
        for (int s = 0; s < kImagesPerWriter; ++s) {
            task.map(imageAddress(w, s), fixture.bytes);
            known.insert(imageAddress(w, s));
        }
    }
    zvcrash_async_image_list list;
    zvcrash_async_image_list_init(&list, task.task());
    // One image that never leaves, so readers always have something to find.
    const uint64_t resident = 0x0f000000;
    task.map(resident, fixture.bytes);
    ASSERT_TRUE(zvcrash_async_image_list_append(&list, resident, "/resident"));

    std::atomic<bool> done{false};
    std::atomic<int> badImages{0};
    std::atomic<long> walks{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            while (!done.load()) {
                zvcrash_async_image_list_set_reading(&list, true);
                int seen = 0;
                for (auto* image = zvcrash_async_image_list_next(&list, nullptr); image != nullptr && seen < 1000;
                     image = zvcrash_async_image_list_next(&list, image), ++seen) {
                    const uint64_t base = zvcrash_async_image_base(image);
                    if (base != resident && known.count(base) == 0) badImages.fetch_add(1);
                    if (zvcrash_async_image_path(image)[0] != '/') badImages.fetch_add(1);
                }
                if (zvcrash_async_image_containing_address(&list, resident + 0x40) == nullptr) badImages.fetch_add(1);
                zvcrash_async_image_list_set_reading(&list, false);
                walks.fetch_add(1);
                std::this_thread::yield();
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kCycles; ++i) {
                const uint64_t address = imageAddress(w, i % kImagesPerWriter);
                if (!zvcrash_async_image_list_append(&list, address, "/writer")) badImages.fetch_add(1);
                zvcrash_async_image_list_remove(&list, address);
            }
        });
    }
    for (auto& t : writers) t.join();
    done.store(true);
    for (auto& t : threads) t.join();

    EXPECT_EQ(0, badImages.load());
    EXPECT_GT(walks.load(), 0);
    // Every writer removed what it added: only the resident image is left.
    zvcrash_async_image_list_set_reading(&list, true);
    auto* first = zvcrash_async_image_list_next(&list, nullptr);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(resident, zvcrash_async_image_base(first));
    EXPECT_EQ(nullptr, zvcrash_async_image_list_next(&list, first));
    zvcrash_async_image_list_set_reading(&list, false);
    zvcrash_async_image_list_free(&list);
}

}  // namespace
