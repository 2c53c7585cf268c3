#include "crashreporter/async/zvcrash_async_symbol.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crashreporter/async/ClassMetadataTesting.h"
#include "crashreporter/async/SimulatedTask.h"

// Exported through -rdynamic; the name stays mangled at crash time.
__attribute__((noinline)) int zvcrashSymbolTestFrame(int value) { return value * 3 + 1; }

namespace {

using zvcrash::testing::ClassMetadataBuilder;
using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;

constexpr uint64_t kHeader = 0x10000000;
constexpr uint64_t kHeap = 0x30000000;

struct Named {
    int calls = 0;
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* context) {
    auto* named = static_cast<Named*>(context);
    ++named->calls;
    named->address = address;
    named->name = name;
}

// A fixture image with class metadata and a symbol table, in a simulated task.
class SymbolImage {
public:
    // Symbols are (name, address) pairs.
    SymbolImage(ClassMetadataBuilder& builder, const std::vector<std::pair<std::string, uint64_t>>& symbols) {
        MachOFixtureBuilder machO(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host);
        for (const auto& [name, address] : symbols) machO.symbol(name, address - kHeader);
        zvcrash::testing::placeBlocks(task, zvcrash::testing::imageWithClassMetadata(machO, kHeader, builder, kHeap));
        initError = zvcrash_async_image_init(&image, task.task(), "fixture", kHeader);
        zvcrash_async_symbol_cache_init(&cache);
    }
    ~SymbolImage() {
        zvcrash_async_symbol_cache_free(&cache);
        if (initError == ZVCRASH_OK) zvcrash_async_image_free(&image);
    }

    zvcrash_error_t find(uint32_t strategy, uint64_t pc, Named* named) {
        return zvcrash_async_find_symbol(&image, strategy, &cache, pc, keep, named);
    }

    SimulatedTask task;
    zvcrash_async_image image{};
    zvcrash_error_t initError;
    zvcrash_async_symbol_cache cache;
};

TEST(ZVCrashFindSymbol, StrategyZeroConsultsNothing) {
    zvcrash_async_symbol_cache cache;
    zvcrash_async_symbol_cache_init(&cache);
    Named named;
    // No image at all: nothing may be read.
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_find_symbol(nullptr, 0, &cache, 0x1234, keep, &named));
    EXPECT_EQ(0, named.calls);
    zvcrash_async_symbol_cache_free(&cache);
}

TEST(ZVCrashFindSymbol, CandidatesOfBothSources) {
    ClassMetadataBuilder builder(true);
    builder.addClass({"Engine", {{"start", 0x10002000}}, {{"shared", 0x10002100}}});
    SymbolImage fixture(builder, {{"_engine_start", 0x10002000}, {"_helper", 0x10002080}, {"_early", 0x10001800}});
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    struct Case {
        uint32_t strategy;
        uint64_t pc;
        uint64_t address;
        const char* name;
    };
    for (const Case& c : {
             // A method and a symbol at one address: the metadata's name.
             Case{3, 0x10002010, 0x10002000, "-[Engine start]"},
             Case{1, 0x10002010, 0x10002000, "_engine_start"},
             Case{2, 0x10002010, 0x10002000, "-[Engine start]"},
             // The nearer candidate wins whichever source gave it.
             Case{3, 0x10002090, 0x10002080, "_helper"},
             Case{3, 0x10002104, 0x10002100, "+[Engine shared]"},
             // Below every method, only the symbol table answers.
             Case{3, 0x10001900, 0x10001800, "_early"},
         }) {
        SCOPED_TRACE(c.name);
        Named named;
        EXPECT_EQ(ZVCRASH_OK, fixture.find(c.strategy, c.pc, &named));
        EXPECT_EQ(1, named.calls);
        EXPECT_EQ(c.address, named.address);
        EXPECT_EQ(c.name, named.name);
    }
    Named none;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, fixture.find(2, 0x10001900, &none));
    EXPECT_EQ(0, none.calls);
}

TEST(ZVCrashFindSymbol, LongClassNameIsCutWithoutItsBracket) {
    ClassMetadataBuilder builder(true);
    const std::string longName(300, 'C');
    builder.addClass({longName, {{"run", 0x10002000}}, {}});
    SymbolImage fixture(builder, {});
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    Named named;
    ASSERT_EQ(ZVCRASH_OK, fixture.find(2, 0x10002000, &named));
    EXPECT_EQ(255u, named.name.size());
    EXPECT_EQ("-[" + longName.substr(0, 253), named.name);
}

TEST(ZVCrashFindSymbol, LongSymbolNameIsCut) {
    ClassMetadataBuilder builder(true);
    SymbolImage fixture(builder, {{std::string(400, 's'), 0x10002000}});
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    Named named;
    ASSERT_EQ(ZVCRASH_OK, fixture.find(1, 0x10002004, &named));
    EXPECT_EQ(std::string(255, 's'), named.name);
}

TEST(ZVCrashFindSymbol, MissingClassListFallsBackToTheSymbolTable) {
    ClassMetadataBuilder builder(true);
    builder.addClass({"Engine", {{"start", 0x10002000}}, {}});
    builder.withClassList = false;
    SymbolImage fixture(builder, {{"_engine_start", 0x10002000}});
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    Named named;
    EXPECT_EQ(ZVCRASH_OK, fixture.find(3, 0x10002010, &named));
    EXPECT_EQ("_engine_start", named.name);
    // The metadata alone: every source failed.
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, fixture.find(2, 0x10002010, &named));
}

// A live image of this process, found through the loader.
class LiveImage {
public:
    explicit LiveImage(const void* address) {
        Dl_info info{};
        found = dladdr(address, &info) != 0 && info.dli_fbase != nullptr;
        if (found) {
            initError =
                zvcrash_async_image_init(&image, zvcrash_async_task_self(), info.dli_fname, reinterpret_cast<uint64_t>(info.dli_fbase));
        }
        zvcrash_async_symbol_cache_init(&cache);
    }
    ~LiveImage() {
        zvcrash_async_symbol_cache_free(&cache);
        if (found && initError == ZVCRASH_OK) zvcrash_async_image_free(&image);
    }

    bool found = false;
    zvcrash_error_t initError = ZVCRASH_ERR_UNKNOWN;
    zvcrash_async_image image{};
    zvcrash_async_symbol_cache cache;
};

uint64_t addressOf(const void* function) { return reinterpret_cast<uint64_t>(function); }

TEST(ZVCrashFindSymbolLive, FrameInsideAnExportedTestFunction) {
    const void* function = reinterpret_cast<const void*>(&zvcrashSymbolTestFrame);
    LiveImage live(function);
    ASSERT_TRUE(live.found);
    ASSERT_EQ(ZVCRASH_OK, live.initError);
    ASSERT_EQ(ZVCRASH_ASYNC_IMAGE_FORMAT_ELF, live.image.format);
    Named named;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_find_symbol(&live.image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC,
                                                    &live.cache, addressOf(function) + 2, keep, &named));
    EXPECT_EQ("_Z22zvcrashSymbolTestFramei", named.name);
    EXPECT_EQ(addressOf(function), named.address);
}

TEST(ZVCrashFindSymbolLive, FrameInsideAbort) {
    const void* function = reinterpret_cast<const void*>(&abort);
    LiveImage live(function);
    ASSERT_TRUE(live.found);
    ASSERT_EQ(ZVCRASH_OK, live.initError);
    Named named;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_find_symbol(&live.image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, &live.cache, addressOf(function) + 4,
                                                    keep, &named));
    EXPECT_EQ("abort", named.name);
    EXPECT_EQ(addressOf(function), named.address);
}

}  // namespace

// Not exported: the dynamic symbols cannot name it.
static __attribute__((noinline)) int zvcrashUnexportedFrame(int value) { return value * 7 + 2; }

TEST(ZVCrashFindSymbolLive, StaticFunctionGoesUnnamed) {
    const void* function = reinterpret_cast<const void*>(&zvcrashUnexportedFrame);
    LiveImage live(function);
    ASSERT_TRUE(live.found);
    ASSERT_EQ(ZVCRASH_OK, live.initError);
    Named named;
    zvcrash_error_t error =
        zvcrash_async_find_symbol(&live.image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, &live.cache, addressOf(function) + 2, keep, &named);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, error) << named.name;
    EXPECT_EQ(0, named.calls);
}
