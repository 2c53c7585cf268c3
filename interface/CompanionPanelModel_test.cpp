#include "interface/CompanionPanelModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

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
        // The overlay is up only once onboarded with everything granted: only then "Active".
        const bool active = c.onboarded && c.allGranted;
        EXPECT_EQ(m.statusText, active ? "Active" : "Ready");
        EXPECT_EQ(m.statusDotColor, active ? CompanionPalette::success() : CompanionPalette::textTertiary());
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

// Every text of the card in drawing order, with its size, weight and colour.
struct DrawnText {
    std::string text;
    double size;
    int weight;
    Color color;
    bool operator==(const DrawnText&) const = default;
};

void PrintTo(const DrawnText& t, std::ostream* os) { *os << "\"" << t.text << "\" " << t.size << "/" << t.weight; }

std::vector<DrawnText> drawnTexts(const CompanionPanelInputs& in) {
    LayoutNode tree = companionPanelLayout(makeCompanionPanelModel(in));
    layout(tree, 320);
    std::vector<DrawnText> out;
    for (const Layer& l : layoutLayers(tree))
        if (l.kind == Layer::Kind::Text) out.push_back({l.text, l.font.size, l.font.weight, l.fill});
    return out;
}

TEST(CompanionPanelModel, EachSituationDrawsItsTextsInTheirSizesWeightsAndColours) {
    const Color primary = CompanionPalette::textPrimary(), secondary = CompanionPalette::textSecondary(),
                tertiary = CompanionPalette::textTertiary(), white = CompanionPalette::textOnAccent();
    const std::vector<DrawnText> header{{"Velmo", 14, 600, primary}, {"Ready", 12, 500, tertiary}};
    const std::vector<DrawnText> activeHeader{{"Velmo", 14, 600, primary}, {"Active", 12, 500, tertiary}};
    const std::vector<DrawnText> rows{
        {"PERMISSIONS", 10, 600, tertiary},
        {"Microphone", 13, 500, secondary},
        {"Grant", 11, 600, white},
        {"Accessibility", 13, 500, secondary},
        {"Grant", 11, 600, white},
        {"Find App", 11, 600, secondary},
        {"Screen Recording", 13, 500, secondary},
        {"Quit and reopen after granting", 10, 400, tertiary},
        {"Grant", 11, 600, white},
    };
    const DrawnText quit{"Quit Velmo", 12, 500, tertiary}, replay{"Watch Onboarding Again", 12, 500, tertiary};
    auto join = [](std::vector<std::vector<DrawnText>> parts) {
        std::vector<DrawnText> all;
        for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        const char* name;
        bool onboarded, allGranted;
        std::vector<DrawnText> texts;
    };
    for (const Case& c : std::vector<Case>{
             {"welcome", false, false,
              join({header,
                    {{"Hi, I'm Ossel", 12, 700, secondary},
                     {"This is Velmo. Grant all four permissions below to get started. I promise it all makes sense once you do.", 11, 400,
                      tertiary},
                     {"Nothing runs in the background. Your screen and mic are only used when you choose to interact.", 11, 400, tertiary}},
                    rows,
                    {quit}})},
             {"allset", false, true,
              join({header, {{"You're all set. Hit Start to meet Velmo.", 12, 500, secondary}, {"Start", 14, 600, white}, quit}})},
             {"onboarded", true, true, join({activeHeader, {{"Hold Control+Option to talk.", 12, 500, secondary}, quit, replay}})},
             {"revoked", true, false,
              join({header,
                    {{"Permissions needed", 12, 700, secondary},
                     {"Some permissions were revoked. Grant all four below to keep using Velmo.", 11, 400, tertiary}},
                    rows,
                    {quit, replay}})},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(drawnTexts(companionPanelSituation(c.onboarded, c.allGranted)), c.texts);
    }
}

// A granted row shows a green dot and "Granted"; the card, the dividers and the buttons keep
// their shapes and colours.
TEST(CompanionPanelModel, GrantedRowsButtonsDividersAndTheCardKeepTheirShapesAndColours) {
    CompanionPanelInputs in;
    in.hasMicrophonePermission = true;
    in.hasScreenRecordingPermission = true;  // brings the Screen Content row, not yet granted
    std::vector<DrawnText> texts = drawnTexts(in);
    const DrawnText granted{"Granted", 11, 500, CompanionPalette::success()};
    EXPECT_EQ(std::count(texts.begin(), texts.end(), granted), 2);  // Microphone, Screen Recording
    EXPECT_EQ(std::count(texts.begin(), texts.end(), DrawnText{"Screen Content", 13, 500, CompanionPalette::textSecondary()}), 1);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [](const DrawnText& t) { return t.text == "Quit and reopen after granting"; }), 0);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [](const DrawnText& t) { return t.text == "Grant"; }), 2);

    LayoutNode tree = companionPanelLayout(makeCompanionPanelModel(in));
    Size size = layout(tree, 320);
    LayerList layers = layoutLayers(tree);
    auto shapes = [&](Layer::Kind kind, Color fill) {
        std::vector<Layer> out;
        for (const Layer& l : layers)
            if (l.kind == kind && l.fill == fill && !l.shadowOnly) out.push_back(l);
        return out;
    };
    // The card: radius 12, the background colour, both shadows below it in their order.
    ASSERT_GE(layers.size(), 3u);
    const Layer& card = layers[2];
    EXPECT_EQ(card.kind, Layer::Kind::RoundedRect);
    EXPECT_EQ(card.cornerRadius, 12);
    EXPECT_EQ(card.fill, CompanionPalette::background());
    EXPECT_EQ(card.frame(), (Rect{0, 0, 320, size.height}));
    EXPECT_TRUE(layers[0].shadowOnly && layers[1].shadowOnly);
    EXPECT_EQ(layers[0].shadow, (Shadow{Color::black(), 0.5, 20, {0, 10}}));
    EXPECT_EQ(layers[1].shadow, (Shadow{Color::black(), 0.3, 4, {0, 2}}));
    // Two hairline dividers across the content, 16 in from each side.
    auto dividers = shapes(Layer::Kind::RoundedRect, CompanionPalette::divider());
    ASSERT_EQ(dividers.size(), 2u);
    for (const Layer& d : dividers) {
        EXPECT_EQ(d.frame().x, 16);
        EXPECT_EQ(d.frame().width, 288);
        EXPECT_EQ(d.frame().height, 1);
    }
    // Green dots of 6 for the granted rows; the status dot of 8 with its glow.
    auto dots = shapes(Layer::Kind::Capsule, CompanionPalette::success());
    ASSERT_EQ(dots.size(), 2u);
    for (const Layer& d : dots) EXPECT_EQ(d.size, (Size{6, 6}));
    auto status = std::find_if(layers.begin(), layers.end(), [](const Layer& l) { return l.size == Size{8, 8} && !l.shadowOnly; });
    ASSERT_NE(status, layers.end());
    EXPECT_EQ(status->fill, CompanionPalette::textTertiary());
    EXPECT_EQ(std::prev(status)->shadow, (Shadow{CompanionPalette::textTertiary(), 0.6, 4, {0, 0}}));
    // Grant capsules filled with the primary blue; Find App's capsule only outlined.
    EXPECT_EQ(shapes(Layer::Kind::Capsule, CompanionPalette::primaryButton()).size(), 2u);
    auto outlined =
        std::find_if(layers.begin(), layers.end(), [](const Layer& l) { return l.kind == Layer::Kind::Capsule && l.outline.has_value(); });
    ASSERT_NE(outlined, layers.end());
    EXPECT_EQ(outlined->fill, Color::clear());
    EXPECT_EQ(*outlined->outline, CompanionPalette::divider());
    EXPECT_EQ(outlined->lineWidth, 0.8);
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
    EXPECT_EQ(buttonIds(laidOut(true, false).tree), (std::vector<std::string>{b::grantMicrophone, b::grantAccessibility, b::findApp,
                                                                              b::grantScreenRecording, b::quit, b::replay}));
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

    // Start's rounded rectangle of radius 10 in the primary blue fills the button's frame.
    LayerList layers = layoutLayers(allset.tree);
    auto startShape = std::find_if(layers.begin(), layers.end(), [](const Layer& l) {
        return l.kind == Layer::Kind::RoundedRect && l.fill == CompanionPalette::primaryButton();
    });
    ASSERT_NE(startShape, layers.end());
    EXPECT_EQ(startShape->cornerRadius, 10);
    EXPECT_EQ(startShape->frame(), start);

    // The header's title starts 16 + 8 + 8 from the left and 14 from the top.
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
