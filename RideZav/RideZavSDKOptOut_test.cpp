#include <gtest/gtest.h>

#include <stdexcept>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKTestFixture.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/exceptions/ElfBuildIdTesting.h"
#include "RideZav/exceptions/LoadedBinaryImages.h"
#include "RideZav/storage/RideZavStorage.h"
#include "platform/base/Error.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

using namespace ridezav;

namespace ridezav {
struct RideZavSDKTestPeer {
    static void installIntegrations(RideZavSDK& sdk) {
        std::lock_guard lock(sdk.setupLock_);
        sdk.installIntegrations();
    }
};
}  // namespace ridezav

// Exported (the test links with -rdynamic) so that dladdr can name it.
__attribute__((noinline)) void velmoFacadeTestRaiseFromHere() { PlatformException::raise("VelmoFacadeTestException", "raised on purpose"); }

namespace {

// What the test integrations saw, in order.
struct IntegrationJournal {
    std::vector<std::string> calls;
    std::vector<Object> contexts;
};

class RecordingIntegration : public RideZavIntegration {
public:
    RecordingIntegration(std::shared_ptr<IntegrationJournal> journal, bool swizzling = false)
        : journal_(std::move(journal)),
          swizzling_(swizzling) {}
    bool requiresSwizzling() const override { return swizzling_; }
    void install(RideZavSDK&) override { journal_->calls.push_back("install"); }
    void uninstall(RideZavSDK&) override { journal_->calls.push_back("uninstall"); }
    void eventContextDidChange(const Object& context) override { journal_->contexts.push_back(context); }

private:
    std::shared_ptr<IntegrationJournal> journal_;
    bool swizzling_;
};

class ThrowingIntegration : public RideZavIntegration {
public:
    bool requiresSwizzling() const override { return false; }
    void install(RideZavSDK&) override { throw InternalRideZavError("no publisher"); }
    void uninstall(RideZavSDK&) override { ADD_FAILURE() << "never installed"; }
};

class RideZavSDKOptOutTest : public RideZavSDKTest {
protected:
    // A facade whose integrations are a throwing one and a recording one.
    std::shared_ptr<RideZavSDK> withTestIntegrations(RideZavConfig c = config()) {
        auto sdk = RideZavSDK::create(c);
        sdk->setIntegrationFactory([journal = journal](const RideZavConfig&) {
            std::vector<std::unique_ptr<RideZavIntegration>> list;
            list.push_back(std::make_unique<ThrowingIntegration>());
            list.push_back(std::make_unique<RecordingIntegration>(journal));
            return list;
        });
        sdk->setup(c);
        return sdk;
    }
    static std::optional<bool> storedOptOut(const std::string& key = "phc_facade") {
        return RideZavStorage(config(key)).getBool(StorageKey::optOut);
    }

    std::shared_ptr<IntegrationJournal> journal = std::make_shared<IntegrationJournal>();
};

std::string text(const Object& object, std::string_view key) {
    const Value* value = object.find(key);
    return value && value->isString() ? *value->get<std::string>() : "<absent>";
}

}  // namespace

TEST_F(RideZavSDKOptOutTest, TheOptOutIsStoredAndRestoredAcrossARestart) {
    {
        auto sdk = withTestIntegrations();
        sdk->optIn();  // already in: nothing stored, nothing installed again
        EXPECT_EQ(storedOptOut(), std::nullopt);
        EXPECT_FALSE(sdk->isOptOut());
        sdk->optOut();
        sdk->optOut();
        EXPECT_TRUE(sdk->isOptOut());
        EXPECT_EQ(storedOptOut(), true);
        sdk->capture("app_opened");
        EXPECT_EQ(journal->calls, (std::vector<std::string>{"install", "uninstall"}));
    }
    journal->calls.clear();
    auto restarted = withTestIntegrations();
    EXPECT_TRUE(restarted->isOptOut());
    EXPECT_TRUE(journal->calls.empty());  // opted out: nothing installed at set-up
    restarted->capture("app_opened");
    EXPECT_TRUE(queued().empty());
}

TEST_F(RideZavSDKOptOutTest, OutThenInReinstallsTheIntegrations) {
    auto cfg = config();
    cfg.debug = true;
    velmo::LogCapture log;
    auto sdk = withTestIntegrations(cfg);
    sdk->optOut();
    sdk->optIn();
    EXPECT_EQ(storedOptOut(), false);
    EXPECT_FALSE(sdk->isOptOut());
    EXPECT_EQ(journal->calls, (std::vector<std::string>{"install", "uninstall", "install"}));
    const auto lines = log.linesStartingWith("[RideZav] Integration ");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[0].starts_with("[RideZav] Integration ThrowingIntegration failed to install: no publisher ("));
    EXPECT_EQ(lines[1], "[RideZav] Integration RecordingIntegration installed");
    EXPECT_EQ(lines[2], "[RideZav] Integration RecordingIntegration uninstalled");
    EXPECT_TRUE(lines[3].starts_with("[RideZav] Integration ThrowingIntegration failed to install: "));
    EXPECT_EQ(lines[4], "[RideZav] Integration RecordingIntegration installed");
    sdk->capture("app_opened");
    EXPECT_EQ(queued().size(), 1u);
}

TEST_F(RideZavSDKOptOutTest, WithoutSwizzlingTheScreenViewIntegrationIsSkippedWithItsLine) {
    auto cfg = config();
    cfg.debug = true;
    cfg.enableSwizzling = false;
    cfg.captureApplicationLifecycleEvents = true;
    velmo::LogCapture log;
    auto sdk = setUp(cfg);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Integration "),
              (std::vector<std::string>{
                  "[RideZav] Integration RideZavScreenViewIntegration skipped. Integration requires swizzling but "
                  "enableSwizzling is disabled in config",
                  "[RideZav] Integration RideZavAppLifeCycleIntegration installed",
              }));
}

TEST_F(RideZavSDKOptOutTest, ASecondInstallIsRefusedAndOnlyInstalledIntegrationsHearTheContext) {
    auto cfg = config();
    cfg.debug = true;
    auto sdk = withTestIntegrations(cfg);
    ASSERT_EQ(journal->contexts.size(), 1u);  // the first refresh at set-up
    const Object& first = journal->contexts[0];
    EXPECT_EQ(text(first, "distinct_id"), sdk->getDistinctId());
    const Object& properties = *first.find("event_properties")->get<Object>();
    EXPECT_EQ(text(properties, "$session_id"), sdk->getSessionId().value_or("?"));
    EXPECT_EQ(text(properties, "$lib"), "ridezav-ios");
    EXPECT_NE(properties.find("$os_name"), nullptr);
    EXPECT_EQ(*properties.find("$is_identified"), Value(false));

    velmo::LogCapture log;
    RideZavSDKTestPeer::installIntegrations(*sdk);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[RideZav] Integrations already installed. Call uninstallIntegrations() first."}));
    EXPECT_EQ(journal->calls, (std::vector<std::string>{"install"}));

    sdk->identify("user-1");
    sdk->registerProperties(Object{{"plan", "pro"}});
    sdk->group("company", "acme");
    ASSERT_EQ(journal->contexts.size(), 4u);
    EXPECT_EQ(text(journal->contexts[1], "distinct_id"), "user-1");
    EXPECT_EQ(*journal->contexts[1].find("event_properties")->get<Object>()->find("$is_identified"), Value(true));
}

TEST_F(RideZavSDKOptOutTest, AfterCloseCaptureIsIgnoredAndASessionChangeSendsNoContext) {
    auto cfg = config();
    cfg.debug = true;
    auto sdk = withTestIntegrations(cfg);
    sdk->capture("app_opened");
    const auto contexts = journal->contexts.size();
    velmo::LogCapture log;
    sdk->close();  // ends the session while the integration is still installed
    EXPECT_EQ(journal->contexts.size(), contexts);
    EXPECT_EQ(journal->calls, (std::vector<std::string>{"install", "uninstall"}));
    // The session's end asked for a refresh, which the closed facade refused; debug logging
    // was off by the time the integration was uninstalled.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kGuardLine, "[RideZav] Session id cleared - reason: (sessionEnd)"}));
    EXPECT_FALSE(RideZavLog::isDebug());

    RideZavLog::setDebug(true);
    log.clear();
    sdk->capture("push_to_talk_started");
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_EQ(sdk->getDistinctId(), "");
    sdk->identify("user-1");
    EXPECT_EQ(log.linesStartingWith(kGuardLine).size(), 4u);
    EXPECT_EQ(queued().size(), 1u);  // what was stored before closing stays

    // The key is free again: a new set-up with it does not report a second instance.
    log.clear();
    auto again = RideZavSDK::with(cfg);
    EXPECT_TRUE(log.linesStartingWith("[RideZav] API Key: ").empty());
    again->capture("app_opened");
    EXPECT_EQ(queued().size(), 2u);
    auto third = RideZavSDK::with(cfg);
    EXPECT_EQ(log.linesStartingWith("[RideZav] API Key: "),
              (std::vector<std::string>{"[RideZav] API Key: phc_facade already has a RideZav instance."}));
}

TEST_F(RideZavSDKOptOutTest, ACaughtProjectExceptionBecomesAnExceptionEventWithItsFramesAndImages) {
    auto sdk = setUp(config());
    try {
        velmoFacadeTestRaiseFromHere();
    } catch (const PlatformException& caught) {
        sdk->captureException(caught);
    }
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    const auto& e = events[0];
    EXPECT_EQ(e.event, "$exception");
    EXPECT_EQ(*e.properties.find("$exception_level"), Value("error"));
    EXPECT_NE(e.properties.find("$session_id"), nullptr);
    const Array& list = *e.properties.find("$exception_list")->get<Array>();
    ASSERT_EQ(list.size(), 1u);
    const Object& exception = *list[0].get<Object>();
    EXPECT_EQ(text(exception, "type"), "VelmoFacadeTestException");
    EXPECT_EQ(*exception.find("mechanism"), Value(Object{{"type", "generic"}, {"handled", true}, {"synthetic", false}}));

    std::string imageOfFunction;
    for (const auto& frame : *exception.find("stacktrace")->get<Object>()->find("frames")->get<Array>()) {
        const Object& f = *frame.get<Object>();
        if (text(f, "function").find("velmoFacadeTestRaiseFromHere") != std::string::npos) imageOfFunction = text(f, "image_addr");
    }
    ASSERT_FALSE(imageOfFunction.empty()) << "no frame names the raising function";
    bool matched = false;
    for (const auto& image : *e.properties.find("$debug_images")->get<Array>()) {
        const Object& i = *image.get<Object>();
        if (text(i, "image_addr") != imageOfFunction) continue;
        matched = true;
        EXPECT_EQ(text(i, "code_file"), mainProgramPath());
        EXPECT_TRUE(text(i, "code_file").ends_with("/ridezav_test"));
        const auto buildId = test::buildIdByReadelf(mainProgramPath());
        ASSERT_TRUE(buildId);
        EXPECT_EQ(text(i, "debug_id"), test::debugIdOfBuildId(*buildId));
        EXPECT_EQ(text(i, "type"), "elf");
    }
    EXPECT_TRUE(matched);
}

TEST_F(RideZavSDKOptOutTest, ErrorsOfEveryKindAreCapturedAndTheCallersPropertiesWin) {
    auto sdk = setUp(config());
    sdk->captureException(velmo::Error("com.korvale.velmo", 7, ""), Object{{"$exception_level", "fatal"}, {"step", 2}});
    sdk->captureException(std::make_exception_ptr(std::runtime_error("disk full")));
    sdk->captureException(std::make_exception_ptr(3.5));
    sdk->captureException(std::exception_ptr());  // nothing caught, nothing sent
    PlatformError outer("Outer.Domain", 1, "outer", std::make_shared<PlatformError>("Inner", 2, "inner"));
    sdk->captureException(static_cast<const std::exception&>(outer));
    auto events = queued();
    ASSERT_EQ(events.size(), 4u);
    auto first = [&](std::size_t i) { return *events[i].properties.find("$exception_list")->get<Array>()->front().get<Object>(); };
    EXPECT_EQ(*events[0].properties.find("$exception_level"), Value("fatal"));
    EXPECT_EQ(*events[0].properties.find("step"), Value(2));
    EXPECT_EQ(text(first(0), "type"), "com.korvale.velmo");
    EXPECT_EQ(text(first(0), "module"), "com.korvale");
    EXPECT_EQ(text(first(0), "value"), "Error (Code: 7)");
    EXPECT_EQ(text(first(1), "type"), "runtime_error");
    EXPECT_EQ(text(first(1), "value"), "disk full (Code: 0)");
    EXPECT_EQ(text(first(2), "type"), "double");
    EXPECT_EQ(events[3].properties.find("$exception_list")->get<Array>()->size(), 2u);
    // A live stack's frames point into the program, so its image is described.
    EXPECT_NE(events[1].properties.find("$debug_images"), nullptr);

    sdk->optOut();
    sdk->captureException(outer);
    EXPECT_EQ(queued().size(), 4u);
}

TEST_F(RideZavSDKOptOutTest, BeforeSetUpEveryOperationIsRefusedAndTheFacadeCountsAsOptedOut) {
    auto sdk = RideZavSDK::create(config());
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    sdk->identify("user-1");
    sdk->setPersonProperties(Object{{"a", 1}});
    sdk->group("company", "acme");
    sdk->registerProperties(Object{{"a", 1}});
    sdk->unregisterProperties("a");
    sdk->optIn();
    sdk->optOut();
    EXPECT_TRUE(sdk->isOptOut());
    sdk->close();
    sdk->captureException(PlatformError("D", 1));
    sdk->captureException(PlatformException("E"));
    EXPECT_EQ(log.linesStartingWith(kGuardLine).size(), 11u);
    EXPECT_EQ(log.lines().size(), 11u);
    EXPECT_FALSE(std::filesystem::exists(sandbox.dataHome() / "com.example.velmo" / "phc_facade"));
}
