#include <gtest/gtest.h>

#include <unistd.h>

#include "RideZav/exceptions/LibraryStackProbe.h"
#include "RideZav/exceptions/LoadedBinaryImages.h"
#include "RideZav/exceptions/RideZavExceptionList.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

using namespace ridezav;

// Exported (the test links with -rdynamic) so that dladdr can name it.
__attribute__((noinline)) void velmoTestRaiseFromHere() { PlatformException::raise("VelmoTestException", "raised on purpose"); }

namespace {

const Object& objectAt(const Array& list, std::size_t i) { return *list.at(i).get<Object>(); }

std::string text(const Object& object, std::string_view key) {
    const Value* value = object.find(key);
    return value && value->isString() ? *value->get<std::string>() : "<absent>";
}

const Array* framesOf(const Object& exception) {
    const Value* stack = exception.find("stacktrace");
    if (!stack || !stack->isObject()) return nullptr;
    return stack->get<Object>()->find("frames")->get<Array>();
}

PlatformException raisedException() {
    try {
        velmoTestRaiseFromHere();
    } catch (const PlatformException& caught) {
        return caught;
    }
    return PlatformException("not raised");
}

}  // namespace

TEST(RideZavExceptionList, AChainOfUnderlyingErrorsEndsWhereItCyclesBack) {
    auto a = std::make_shared<PlatformError>("com.example.A", 1, "first");
    auto b = std::make_shared<PlatformError>("com.example.B", 2, "second", a);
    a->setUnderlyingError(b);
    const RideZavErrorTrackingConfig config;
    const Array list = exceptionListForError(*a, true, "generic", config);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(text(objectAt(list, 0), "value"), "first (Code: 1)");
    EXPECT_EQ(text(objectAt(list, 1), "value"), "second (Code: 2)");
    a->setUnderlyingError(nullptr);  // break the cycle so both are released

    PlatformError alone("Solo", 3);
    EXPECT_EQ(exceptionListForError(alone, true, "generic", config).size(), 1u);
}

TEST(RideZavExceptionList, TypeModuleAndValueFollowTheErrorsTypeDomainAndDescriptions) {
    struct Case {
        const char* name;
        PlatformError error;
        std::optional<std::string> debugDescription;
        std::string type, module, value;
    } cases[] = {
        {"plain, dotted domain", PlatformError("Network.Socket", 7, "reset"), std::nullopt, "Network.Socket", "Network", "reset (Code: 7)"},
        {"plain, no dot", PlatformError("Storage", 7, "full"), std::nullopt, "Storage", "<absent>", "full (Code: 7)"},
        {"leading dot", PlatformError(".hidden", 1, "x"), std::nullopt, ".hidden", "<absent>", "x (Code: 1)"},
        {"long domain", PlatformError("com.korvale.velmo", -2, "x"), std::nullopt, "com.korvale.velmo", "com.korvale", "x (Code: -2)"},
        {"debug description wins", PlatformError("D", 4, "for people"), "for developers", "D", "<absent>", "for developers (Code: 4)"},
        {"empty debug description", PlatformError("D", 4, "for people"), "", "D", "<absent>", "for people (Code: 4)"},
        {"no description", PlatformError("D", 7), std::nullopt, "D", "<absent>", "Error (Code: 7)"},
        {"empty domain", PlatformError("", 0), std::nullopt, "", "<absent>", "Error (Code: 0)"},
        {"own type", PlatformError::bridge(std::make_exception_ptr(std::logic_error("bad"))), std::nullopt, "logic_error", "std",
         "bad (Code: 0)"},
    };
    const RideZavErrorTrackingConfig config;
    for (auto& c : cases) {
        c.error.setDebugDescription(c.debugDescription);
        const Object exception = exceptionForError(c.error, true, "generic", config);
        EXPECT_EQ(text(exception, "type"), c.type) << c.name;
        EXPECT_EQ(text(exception, "module"), c.module) << c.name;
        EXPECT_EQ(text(exception, "value"), c.value) << c.name;
        EXPECT_EQ(exception.find("thread_id")->asInt64(), static_cast<std::int64_t>(::gettid())) << c.name;
        EXPECT_EQ(*exception.find("mechanism"), Value(Object{{"type", "generic"}, {"handled", true}, {"synthetic", true}})) << c.name;
    }
}

TEST(RideZavExceptionList, ARaisedExceptionCarriesItsOwnStackAndAnUnraisedOneTheCallers) {
    const RideZavErrorTrackingConfig config;
    const PlatformException raised = raisedException();
    ASSERT_FALSE(raised.callStackReturnAddresses().empty());
    const Object fromRaise = exceptionForPlatformException(raised, false, "generic", config);
    EXPECT_EQ(*fromRaise.find("mechanism"), Value(Object{{"type", "generic"}, {"handled", false}, {"synthetic", false}}));
    EXPECT_EQ(text(fromRaise, "type"), "VelmoTestException");
    EXPECT_EQ(text(fromRaise, "value"), "raised on purpose");
    const Array* frames = framesOf(fromRaise);
    ASSERT_NE(frames, nullptr);
    // Nothing is skipped: the first frame is the one that recorded the stack.
    EXPECT_EQ(*frames->front().get<Object>()->find("instruction_addr"), Value(hexAddress(raised.callStackReturnAddresses().front())));

    const PlatformException unraised("Unraised", "");
    const Object fromCaller = exceptionForPlatformException(unraised, true, "generic", config);
    EXPECT_EQ(*fromCaller.find("mechanism"), Value(Object{{"type", "generic"}, {"handled", true}, {"synthetic", true}}));
    EXPECT_EQ(fromCaller.find("value"), nullptr);  // an empty reason is left out
    ASSERT_NE(framesOf(fromCaller), nullptr);

    auto cause = std::make_shared<PlatformException>("Cause", "underneath");
    PlatformException outer("Outer", "on top", cause);
    cause->setUnderlyingException(std::make_shared<PlatformException>("Deeper"));
    const Array list = exceptionListForPlatformException(outer, true, "generic", config);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(text(objectAt(list, 2), "type"), "Deeper");
    EXPECT_EQ(objectAt(list, 2).find("value"), nullptr);
}

TEST(RideZavExceptionList, FramesOfARaisedExceptionPointIntoTheTestProgramsDebugImage) {
    const RideZavErrorTrackingConfig config;
    Object properties{{"$exception_level", "error"}};
    addExceptionProperties(exceptionListForPlatformException(raisedException(), true, "generic", config), properties);
    const Array& list = *properties.find("$exception_list")->get<Array>();
    const Array* frames = framesOf(objectAt(list, 0));
    ASSERT_NE(frames, nullptr);

    std::string programImage;
    bool namesTheFunction = false;
    for (const auto& frame : *frames) {
        const Object& f = *frame.get<Object>();
        if (text(f, "function").find("velmoTestRaiseFromHere") == std::string::npos) continue;
        namesTheFunction = true;
        programImage = text(f, "image_addr");
        EXPECT_EQ(text(f, "package"), mainProgramPath());
        EXPECT_EQ(text(f, "module"), "ridezav_exceptions_test");
        EXPECT_EQ(*f.find("in_app"), Value(true));  // no include matches: the default
    }
    ASSERT_TRUE(namesTheFunction);

    const Value* images = properties.find("$debug_images");
    ASSERT_NE(images, nullptr);
    bool found = false;
    for (const auto& image : *images->get<Array>()) {
        const Object& i = *image.get<Object>();
        EXPECT_NE(text(i, "image_addr"), "<absent>");
        if (text(i, "image_addr") != programImage) continue;
        found = true;
        EXPECT_EQ(text(i, "code_file"), mainProgramPath());
        EXPECT_EQ(text(i, "type"), "elf");
        EXPECT_EQ(text(i, "debug_id").size(), 36u);
        EXPECT_GT(i.find("image_size")->asInt64().value_or(0), 0);
    }
    EXPECT_TRUE(found);
}

TEST(RideZavExceptionList, AddressesOutsideEveryImageGiveNoFrameAndProgramFramesAreNeverSkipped) {
    const RideZavErrorTrackingConfig config;
    const auto inProgram = reinterpret_cast<std::uintptr_t>(&velmoTestRaiseFromHere) + 1;
    const auto frames = framesForReturnAddresses({0x10, inProgram, 0x20, inProgram}, true, config);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].instructionAddress, inProgram);
    EXPECT_EQ(frames[0].module, "ridezav_exceptions_test");
    EXPECT_EQ(frames[0].imageAddress, mainProgramBase());
    EXPECT_NE(frames[0].function.value_or("").find("velmoTestRaiseFromHere"), std::string::npos);
    EXPECT_EQ(frames[0].symbolAddress, reinterpret_cast<std::uintptr_t>(&velmoTestRaiseFromHere));

    EXPECT_EQ(stacktraceForReturnAddresses({}, config), std::nullopt);
    EXPECT_EQ(stacktraceForReturnAddresses({0x10}, config), std::nullopt);  // no frame at all
    ASSERT_TRUE(currentThreadStacktrace(config));
    EXPECT_EQ(*currentThreadStacktrace(config)->find("type"), Value("raw"));
}

TEST(RideZavExceptionList, OnlyTheLibrarysOwnImageNamesCountAsItsFrames) {
    struct Case {
        const char* module;
        bool library;
    } cases[] = {{"RideZav", true},         {"RideZav.framework", true}, {"RideZavKit", false},   {"libRideZav.so", true},
                 {"libRideZav.so.3", true}, {"libRideZav.so3", false},   {"ridezav_test", false}, {"", false},
                 {"MyRideZav", false}};
    for (const auto& c : cases) EXPECT_EQ(isLibraryModule(c.module), c.library) << c.module;
}

TEST(RideZavExceptionList, ExceptionPropertiesAreSetOnlyForWhatTheListHolds) {
    Object untouched{{"$exception_level", "error"}};
    addExceptionProperties({}, untouched);
    EXPECT_EQ(untouched, (Object{{"$exception_level", "error"}}));

    // Frames into no loaded image, or with addresses that do not parse, give no debug images.
    Object frames{{"frames", Array{Object{{"image_addr", "0x10"}}, Object{{"image_addr", "zz"}}, Object{{"image_addr", 5}},
                                   Object{{"instruction_addr", "0x1"}}}},
                  {"type", "raw"}};
    Array list{Object{{"type", "X"}, {"stacktrace", frames}}, Object{{"type", "Y"}, {"stacktrace", "not a stack"}}};
    Object properties;
    addExceptionProperties(list, properties);
    EXPECT_EQ(*properties.find("$exception_list"), Value(list));
    EXPECT_EQ(properties.find("$debug_images"), nullptr);

    Array intoProgram{
        Object{{"stacktrace", Object{{"frames", Array{Object{{"image_addr", hexAddress(mainProgramBase())}},
                                                      Object{{"image_addr", "0X" + hexAddress(mainProgramBase()).substr(2)}}}}}}}};
    const Array images = debugImagesForExceptions(intoProgram);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(text(*images[0].get<Object>(), "code_file"), mainProgramPath());
}

namespace {

std::vector<std::uintptr_t>* velmoTestBetweenLibraryFrames() {
    auto* result = velmoProbeReturnAddresses();
    asm volatile("" ::: "memory");  // keep this frame on the stack (no tail call)
    return result;
}

}  // namespace

TEST(RideZavExceptionList, LeadingFramesOfTheLibrarysOwnImageAreSkippedButNotLaterOnes) {
    const RideZavErrorTrackingConfig config;
    std::unique_ptr<std::vector<std::uintptr_t>> addresses(velmoProbeCallThrough(&velmoTestBetweenLibraryFrames));
    const auto all = framesForReturnAddresses(*addresses, false, config);
    const auto skipped = framesForReturnAddresses(*addresses, true, config);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].module, "libRideZav.so");
    EXPECT_EQ(all[0].function, "velmoProbeReturnAddresses");
    ASSERT_EQ(skipped.size(), all.size() - 1);
    EXPECT_EQ(skipped[0].module, "ridezav_exceptions_test");
    // The later frame of the same image stays.
    bool keptLater = false;
    for (const auto& frame : skipped) keptLater |= frame.function == std::optional<std::string>("velmoProbeCallThrough");
    EXPECT_TRUE(keptLater);
}
