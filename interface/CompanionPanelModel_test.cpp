#include "interface/CompanionPanelModel.h"

#include <gtest/gtest.h>

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/Painter.h"

namespace velmo {
namespace {


TEST(CompanionPanelModel, StatusTextAndDotFollowTheOverlayThenTheVoiceState) {
    struct Case {
        bool overlay;
        CompanionVoiceState state;
        const char* text;
        Color dot;
    };
    for (const Case& c : std::vector<Case>{
             {false, CompanionVoiceState::idle, "Ready", CompanionPalette::textTertiary()},
             {false, CompanionVoiceState::listening, "Ready", CompanionPalette::textTertiary()},
             {false, CompanionVoiceState::responding, "Ready", CompanionPalette::textTertiary()},
             {true, CompanionVoiceState::idle, "Active", CompanionPalette::success()},
             {true, CompanionVoiceState::listening, "Listening", CompanionPalette::accentLight()},
             {true, CompanionVoiceState::processing, "Processing", CompanionPalette::accentLight()},
             {true, CompanionVoiceState::responding, "Responding", CompanionPalette::accentLight()},
         }) {
        SCOPED_TRACE(c.text);
        CompanionPanelInputs in;
        in.isOverlayVisible = c.overlay;
        in.voiceState = c.state;
        CompanionPanelModel m = makeCompanionPanelModel(in);
        EXPECT_EQ(m.statusText, c.text);
        EXPECT_EQ(m.statusDotColor, c.dot);
    }
}

// The rows' symbols are grey once granted and amber while missing; the footer's are grey.
TEST(CompanionPanelModel, SymbolImagesAreDrawnInTheirRowsTints) {
    CompanionPanelInputs in;
    in.hasMicrophonePermission = true;
    in.hasCompletedOnboarding = true;
    CompanionPanelModel m = makeCompanionPanelModel(in);
    LayoutNode tree = companionPanelLayout(m);
    layout(tree, 320);
    std::vector<std::pair<double, Color>> strokes;  // (top, tint), in drawing order
    for (const Layer& l : layoutLayers(tree))
        if (l.kind == Layer::Kind::Path && l.outline && l.id.size() > 7 && l.id.substr(l.id.size() - 7) == ".stroke")
            strokes.emplace_back(l.frame().y, *l.outline);
    ASSERT_EQ(strokes.size(), 5u);  // microphone, accessibility, screen recording; power, play.circle
    EXPECT_EQ(strokes[0].second, CompanionPalette::textTertiary());
    EXPECT_EQ(strokes[1].second, CompanionPalette::warning());
    EXPECT_EQ(strokes[2].second, CompanionPalette::warning());
    EXPECT_EQ(strokes[3].second, CompanionPalette::textTertiary());
    EXPECT_EQ(strokes[4].second, CompanionPalette::textTertiary());
    EXPECT_LT(strokes[0].first, strokes[1].first);
    EXPECT_LT(strokes[1].first, strokes[2].first);
    EXPECT_DOUBLE_EQ(strokes[3].first, strokes[4].first);  // one footer line
}

TEST(CompanionPanelModel, TheFourSituationsChooseMessageSectionsAndButtons) {
    struct Case {
        const char* name;
        bool onboarded, allGranted;
        CompanionPanelMessage message;
        bool rows, start, replay;
    };
    for (const Case& c : std::vector<Case>{
             {"welcome", false, false, CompanionPanelMessage::welcome, true, false, false},
             {"allset", false, true, CompanionPanelMessage::allSet, false, true, false},
             {"onboarded", true, true, CompanionPanelMessage::holdToTalk, false, false, true},
             {"revoked", true, false, CompanionPanelMessage::revoked, true, false, true},
         }) {
        SCOPED_TRACE(c.name);
        CompanionPanelModel m = makeCompanionPanelModel(companionPanelSituation(c.onboarded, c.allGranted));
        EXPECT_EQ(m.message, c.message);
        EXPECT_EQ(!m.permissionRows.empty(), c.rows);
        EXPECT_EQ(m.showsStartButton, c.start);
        EXPECT_EQ(m.showsReplayButton, c.replay);
    }
}

TEST(CompanionPanelModel, ScreenContentRowExistsOnlyWhileScreenRecordingIsGranted) {
    CompanionPanelInputs in;
    in.hasMicrophonePermission = true;
    CompanionPanelModel m = makeCompanionPanelModel(in);
    std::vector<CompanionPermissionRow> expected = {
        {CompanionPermission::microphone, "Microphone", "mic", true},
        {CompanionPermission::accessibility, "Accessibility", "hand.raised", false},
        {CompanionPermission::screenRecording, "Screen Recording", "rectangle.dashed.badge.record", false},
    };
    EXPECT_EQ(m.permissionRows, expected);

    in.hasScreenRecordingPermission = true;
    m = makeCompanionPanelModel(in);
    expected[2].granted = true;
    expected.push_back({CompanionPermission::screenContent, "Screen Content", "eye", false});
    EXPECT_EQ(m.permissionRows, expected);
}

struct Laid {
    LayoutNode tree;
    Size size;
};

Laid laidOut(bool onboarded, bool allGranted) {
    Laid l{companionPanelLayout(makeCompanionPanelModel(companionPanelSituation(onboarded, allGranted))), {}};
    l.size = layout(l.tree, 320);
    return l;
}

std::vector<std::string> buttonIds(const LayoutNode& tree) {
    std::vector<std::string> ids;
    for (const auto& [id, frame] : buttonFrames(tree)) ids.push_back(id);
    return ids;
}

TEST(CompanionPanelModel, ThePanelCarriesTheButtonsOfItsSituation) {
    namespace b = companion_panel_button;
    EXPECT_EQ(buttonIds(laidOut(false, false).tree),
              (std::vector<std::string>{b::grantMicrophone, b::grantAccessibility, b::findApp, b::grantScreenRecording, b::quit}));
    EXPECT_EQ(buttonIds(laidOut(false, true).tree), (std::vector<std::string>{b::start, b::quit}));
    EXPECT_EQ(buttonIds(laidOut(true, true).tree), (std::vector<std::string>{b::quit, b::replay}));
    EXPECT_EQ(buttonIds(laidOut(true, false).tree),
              (std::vector<std::string>{b::grantMicrophone, b::grantAccessibility, b::findApp, b::grantScreenRecording, b::quit,
                                        b::replay}));
}

TEST(CompanionPanelModel, CardPaddingsAndButtonPlacesFollowTheirSteps) {
    Laid allset = laidOut(false, true);
    EXPECT_EQ(allset.size.width, 320);
    auto frames = buttonFrames(allset.tree);
    ASSERT_EQ(frames.size(), 2u);
    // Start spans the content less the side paddings; its label line plus 10 above and below.
    Rect start = frames[0].second;
    EXPECT_EQ(start.x, 16);
    EXPECT_EQ(start.width, 288);
    EXPECT_DOUBLE_EQ(start.height, Painter::measureText("Start", Font{"sans-serif", 14, 600}).height + 20);
    // Quit stands at the left edge, 12 above the card's bottom.
    Rect quit = frames[1].second;
    EXPECT_EQ(quit.x, 16);
    EXPECT_DOUBLE_EQ(quit.y + quit.height + 12, allset.size.height);

    // After onboarding the replay button ends 16 from the right edge.
    auto onboarded = buttonFrames(laidOut(true, true).tree);
    ASSERT_EQ(onboarded.size(), 2u);
    EXPECT_DOUBLE_EQ(onboarded[1].second.x + onboarded[1].second.width, 304);

    // The header's title starts 16 + 8 + 8 from the left and 14 from the top.
    LayerList layers = layoutLayers(allset.tree);
    auto title = std::find_if(layers.begin(), layers.end(), [](const Layer& l) { return l.text == "Velmo"; });
    ASSERT_NE(title, layers.end());
    EXPECT_EQ(title->frame().x, 32);
    EXPECT_NEAR(title->frame().y, 14, 0.001);
}

TEST(CompanionPanelModel, TheFourSituationsHaveTheHeightsTheirContentImplies) {
    double onboarded = laidOut(true, true).size.height;
    double allset = laidOut(false, true).size.height;
    double revoked = laidOut(true, false).size.height;
    double welcome = laidOut(false, false).size.height;
    // Start adds its 16 spacer and button; the notices and the permission rows add more.
    EXPECT_LT(onboarded, allset);
    EXPECT_LT(allset, revoked);
    EXPECT_LT(revoked, welcome);
    Laid a = laidOut(false, true);
    EXPECT_DOUBLE_EQ(allset - onboarded, 16 + buttonFrames(a.tree)[0].second.height);
}

TEST(CompanionPanelModel, HitTestingMapsClicksOnButtonsAndNothingBetweenThem) {
    Laid welcome = laidOut(false, false);
    auto frames = buttonFrames(welcome.tree);
    for (const auto& [id, f] : frames) {
        SCOPED_TRACE(id);
        EXPECT_EQ(hitTestButton(welcome.tree, {f.x + f.width / 2, f.y + f.height / 2}), id);
    }
    // Between Grant and Find App, and on a row's title.
    Rect grant = frames[1].second, find = frames[2].second;
    EXPECT_EQ(hitTestButton(welcome.tree, {(grant.x + grant.width + find.x) / 2, grant.y + grant.height / 2}), std::nullopt);
    EXPECT_EQ(hitTestButton(welcome.tree, {40, grant.y + grant.height / 2}), std::nullopt);
}

}  // namespace
}  // namespace velmo
