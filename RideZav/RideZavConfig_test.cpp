#include "RideZav/RideZavConfig.h"

#include <gtest/gtest.h>

#include "RideZav/core/RideZavLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"

namespace ridezav {
namespace {

TEST(RideZavConfig, DefaultsOfEveryField) {
    const RideZavConfig config("phc_key", "https://analytics.example.com");
    EXPECT_EQ(config.flushAt, 20);
    EXPECT_EQ(config.maxQueueSize, 1000);
    EXPECT_EQ(config.maxBatchSize, 50);
    EXPECT_EQ(config.flushIntervalSeconds, std::chrono::duration<double>(30.0));
    EXPECT_EQ(config.dataMode, RideZavDataMode::any);
    EXPECT_TRUE(config.sendFeatureFlagEvent);
    EXPECT_TRUE(config.preloadFeatureFlags);
    EXPECT_TRUE(config.captureApplicationLifecycleEvents);
    EXPECT_TRUE(config.captureScreenViews);
    EXPECT_TRUE(config.enableSwizzling);
    EXPECT_FALSE(config.debug);
    EXPECT_FALSE(config.optOut());
    const velmo::UUID id = velmo::UUID::random();
    EXPECT_EQ(config.getAnonymousId(id), id);
    EXPECT_FALSE(config.reuseAnonymousId);
    EXPECT_FALSE(config.propertiesSanitizer);
    EXPECT_EQ(config.personProfiles, RideZavPersonProfiles::identifiedOnly);
    EXPECT_TRUE(config.setDefaultPersonProperties);
    EXPECT_FALSE(config.evaluationContexts);
    EXPECT_FALSE(config.appGroupIdentifier);
    EXPECT_EQ(config.snapshotEndpoint(), "/s/");
    EXPECT_FALSE(config.errorTrackingConfig().autoCapture);
    EXPECT_TRUE(config.errorTrackingConfig().inAppByDefault);
    EXPECT_TRUE(config.errorTrackingConfig().inAppExcludes.empty());
    EXPECT_FALSE(config.errorTrackingConfig().inAppIncludes.empty());
    EXPECT_FALSE(config.urlSessionConfiguration);
    EXPECT_FALSE(config.disableReachabilityForTesting || config.disableQueueTimerForTesting || config.disableFlushOnBackgroundForTesting ||
                 config.disableRemoteConfigForTesting);
    EXPECT_FALSE(config.storageManager);
    EXPECT_TRUE(config.surveys);
    ASSERT_TRUE(config.surveysConfig.surveysDelegate);
    EXPECT_TRUE(dynamic_cast<RideZavSurveysDefaultDelegate*>(config.surveysConfig.surveysDelegate.get()));
    EXPECT_TRUE(config.remoteConfig());
}

TEST(RideZavConfig, CompatibilityAliases) {
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    RideZavConfig config("k");
    config.setRemoteConfig(true);
    config.setRemoteConfig(false);
    EXPECT_TRUE(config.remoteConfig());
    config.setEvaluationEnvironments(std::vector<std::string>{"web"});
    EXPECT_EQ(config.evaluationContexts, std::vector<std::string>{"web"});
    EXPECT_EQ(config.evaluationEnvironments(), std::vector<std::string>{"web"});
    config.setEvaluationEnvironments(std::nullopt);
    EXPECT_FALSE(config.evaluationContexts);
    RideZavLog::setDebug(false);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[RideZav] remoteConfig is deprecated and is now always enabled. Setting it to false has no effect.",
                               "[RideZav] evaluationEnvironments is deprecated. Use evaluationContexts instead.",
                           }));
}

RideZavEvent sampleEvent() { return RideZavEvent("e", "d", Object{}, Date{}, velmo::UUID::random()); }

TEST(RideZavConfig, BeforeSendChainsInOrderAndStopsAtTheFirstDrop) {
    RideZavConfig config("k");
    EXPECT_EQ(config.beforeSend(sampleEvent())->event, "e");  // no chain
    config.setBeforeSend({});
    EXPECT_EQ(config.beforeSend(sampleEvent())->event, "e");

    std::string calls;
    config.setBeforeSend({
        [&](RideZavEvent e) -> std::optional<RideZavEvent> {
            calls += "1";
            e.event += "-a";
            return e;
        },
        [&](RideZavEvent e) -> std::optional<RideZavEvent> {
            calls += "2";
            e.event += "-b";
            return e;
        },
    });
    EXPECT_EQ(config.beforeSend(sampleEvent())->event, "e-a-b");
    EXPECT_EQ(calls, "12");

    calls.clear();
    config.setBeforeSend({
        [&](RideZavEvent e) -> std::optional<RideZavEvent> {
            calls += "1";
            return e;
        },
        [&](RideZavEvent) -> std::optional<RideZavEvent> {
            calls += "2";
            return std::nullopt;
        },
        [&](RideZavEvent e) -> std::optional<RideZavEvent> {
            calls += "3";
            return e;
        },
    });
    EXPECT_FALSE(config.beforeSend(sampleEvent()));
    EXPECT_EQ(calls, "12");
}

TEST(RideZavConfig, IntegrationListFollowsTheCaptureSettings) {
    auto kinds = [](const RideZavConfig& config) {
        std::string out;
        for (const auto& integration : config.makeIntegrations()) {
            if (dynamic_cast<RideZavErrorTrackingAutoCaptureIntegration*>(integration.get())) out += "E";
            if (dynamic_cast<RideZavScreenViewIntegration*>(integration.get())) out += "S";
            if (auto* lifecycle = dynamic_cast<RideZavAppLifeCycleIntegration*>(integration.get())) {
                out += "L";
                EXPECT_TRUE(lifecycle->isFreshAppLaunch() && lifecycle->isAppBackgrounded());
            }
        }
        return out;
    };
    RideZavConfig config("k");
    EXPECT_EQ(kinds(config), "SL");
    config.errorTrackingConfig().autoCapture = true;
    EXPECT_EQ(kinds(config), "ESL");
    config.captureScreenViews = false;
    EXPECT_EQ(kinds(config), "EL");
    config.captureApplicationLifecycleEvents = false;
    config.errorTrackingConfig().autoCapture = false;
    EXPECT_EQ(kinds(config), "");
}

TEST(RideZavConfig, RawValuesOutsideZeroToTwoGiveNone) {
    for (std::int64_t raw : {0, 1, 2}) {
        EXPECT_EQ(std::int64_t(*dataModeFromRaw(raw)), raw);
        EXPECT_EQ(std::int64_t(*personProfilesFromRaw(raw)), raw);
    }
    for (std::int64_t raw : {3, -1}) {
        EXPECT_FALSE(dataModeFromRaw(raw));
        EXPECT_FALSE(personProfilesFromRaw(raw));
    }
    EXPECT_EQ(dataModeFromRaw(0), RideZavDataMode::wifi);
    EXPECT_EQ(personProfilesFromRaw(0), RideZavPersonProfiles::never);
}

TEST(RideZavConfig, CopiesCarryTheLibraryWrittenFields) {
    RideZavConfig config("k");
    config.setOptOut(true);
    config.setSnapshotEndpoint("/snap/");
    config.flushAt = 3;
    const RideZavConfig copy = config;
    EXPECT_TRUE(copy.optOut());
    EXPECT_EQ(copy.snapshotEndpoint(), "/snap/");
    EXPECT_EQ(copy.flushAt, 3);
}

TEST(RideZavErrorTrackingConfig, InAppIncludesTheBundleIdentifierThenTheExecutable) {
    velmo::test::TestDirectory dir;
    dir.write("A.app/Contents/Info.plist", velmo::PropertyList::toXML(velmo::PlistValue::Dictionary{
                                               {"CFBundleIdentifier", "com.example.velmo"}, {"CFBundleExecutable", "velmo"}}));
    dir.write("B.app/Contents/Info.plist", velmo::PropertyList::toXML(velmo::PlistValue::Dictionary{}));
    {
        velmo::Bundle::Scope bundle(dir / "A.app");
        EXPECT_EQ(RideZavErrorTrackingConfig().inAppIncludes, (std::vector<std::string>{"com.example.velmo", "velmo"}));
    }
    velmo::Bundle::Scope bundle(dir / "B.app");
    EXPECT_EQ(RideZavErrorTrackingConfig().inAppIncludes, std::vector<std::string>{"com.ridezav.unknown"});
}

}  // namespace
}  // namespace ridezav
