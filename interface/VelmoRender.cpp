// velmo-render: writes a PNG of what the interface draws, so a person can look at it.
//
//   velmo-render glyphs --out glyphs.png [--scale 4] [--time SECONDS] [--background HEX|none]
//   velmo-render cursor --scenario NAME --at SECONDS --out F.png [--scale 2] [--background HEX|none]
//   velmo-render icon --out icon.png [--scale 4]
//   velmo-render panel --situation welcome|allset|onboarded|revoked --out F.png [--scale 2] [--background HEX|none]
//
// The cursor scenarios run a scripted episode of one screen's cursor on a virtual clock and
// draw the frame at the given second: following, welcome, edge (the pointer 10 px from the
// right edge), flight, pointing, listening, glide (silence, then a full level at 0.6 s: the
// bars glide to it over 0.08 s), processing.
//
// Each view state is one subcommand producing a layer list on a canvas of its own size.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionTestDoubles.h"
#include "interface/BlueCursorView.h"
#include "interface/CompanionPanelModel.h"
#include "interface/PanelContentView.h"
#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"
#include "interface/drawing/Painter.h"
#include "platform/media/GStreamerVideoPlayer.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace {

using namespace velmo;

struct Options {
    std::string out;
    double scale = 4;
    bool scaleGiven = false;
    std::string scenario;
    std::string situation;
    double at = 0;
    double time = 0;  // seconds since the reference date, for the waveform's ripple
    std::optional<Color> background = colorFromHex("#202020");
};

struct Scene {
    Size canvas;
    LayerList layers;
};

Layer caption(const std::string& id, const std::string& text, Point center) {
    Layer l;
    l.id = id;
    l.kind = Layer::Kind::Text;
    l.text = text;
    l.font = Font{"sans-serif", 6, 400};
    l.size = Painter::measureText(text, l.font);
    l.center = center;
    l.fill = CompanionPalette::textSecondary();
    return l;
}

// The three cursor glyphs: the triangle at its resting tilt, the waveform at three levels, the
// spinner.
Scene glyphs(const Options& o) {
    Scene s{{250, 56}, {}};
    const double y = 24, captionY = 48;
    s.layers.push_back(Triangle::layer({25, y}, -35));
    s.layers.push_back(caption("triangle.caption", "triangle", {25, captionY}));
    double x = 75;
    for (double level : {0.0, 0.2, 1.0}) {
        BlueCursorWaveformView view{level};
        Layer l = view.layer({x, y}, o.time);
        l.id += std::to_string(int(x));
        s.layers.push_back(l);
        char text[32];
        std::snprintf(text, sizeof text, "level %.1f", level);
        s.layers.push_back(caption("caption" + std::to_string(int(x)), text, {x, captionY}));
        x += 45;
    }
    s.layers.push_back(BlueCursorSpinnerView::layer({220, y}, 0));
    s.layers.push_back(caption("spinner.caption", "spinner", {220, captionY}));
    return s;
}

// The status item's icon as the trays show it (tinted white, outlined) on a light, a middle and
// a dark panel, and tinted dark on a light one.
Scene icon(const Options&) {
    Scene s{{4 * 28, 28}, {}};
    const StatusItemIcon templateIcon = drawMenuBarIcon();
    struct Tile {
        const char* panel;
        std::uint32_t tint;
    };
    double x = 14;
    for (const Tile& t : {Tile{"#F0F0F0", 0xFFFFFF}, Tile{"#808080", 0xFFFFFF}, Tile{"#202020", 0xFFFFFF}, Tile{"#F0F0F0", 0x202020}}) {
        Layer back;
        back.id = "panel" + std::to_string(int(x));
        back.kind = Layer::Kind::RoundedRect;
        back.center = {x, 14};
        back.size = {28, 28};
        back.fill = colorFromHex(t.panel);
        s.layers.push_back(back);
        StatusItemIcon shown = tintedOutlinedIcon(templateIcon, t.tint);
        auto image = std::make_shared<LayerImage>();
        image->width = shown.width;
        image->height = shown.height;
        image->stride = shown.width * 4;
        image->pixels.resize(shown.argb.size() * 4);
        std::memcpy(image->pixels.data(), shown.argb.data(), image->pixels.size());
        Layer glyph;
        glyph.id = "icon" + std::to_string(int(x));
        glyph.kind = Layer::Kind::Image;
        glyph.center = {x, 14};
        glyph.size = {18, 18};
        glyph.image = image;
        s.layers.push_back(glyph);
        x += 28;
    }
    return s;
}

// A picture of the onboarding video the build made, 12 s in: the real player, decoded as fast
// as it goes on the render's virtual loop.
std::shared_ptr<VideoPlayer> renditionPlayer() {
    auto url = CompanionManager::onboardingVideoURL();
    if (!url) return nullptr;
    VideoOutputOptions options;
    options.nullAudioOutput = true;
    options.paced = false;
    auto player = GStreamerVideoPlayer::make(*url, options);
    player->play();
    auto* loop = dynamic_cast<VirtualMainLoop*>(MainLoop::current().get());
    bool failed = false;
    auto token = NotificationCenter::defaultCenter().addObserver(VideoPlayer::failedToPlayNotification,
                                                                 [&failed](const Notification&) { failed = true; });
    if (loop) loop->runUntil([&] { return failed || (player->currentFrame() && player->currentFrame()->time >= 12.0); }, 20s);
    NotificationCenter::defaultCenter().removeObserver(token);
    player->pause();
    if (!player->currentFrame()) std::fprintf(stderr, "no video picture from %s: %s\n", url->c_str(), player->error().c_str());
    return player;
}

// The onboarding video shown in full beside the cursor, playing the build's rendition.
void showRenditionVideo(CompanionManager& c) {
    velmo::test::writable(c).onboardingVideoPlayer = renditionPlayer();
    velmo::test::writable(c).showOnboardingVideo = true;
    velmo::test::writable(c).onboardingVideoOpacity = 1.0;
}

// The cursor scenarios: what happens to one 800 x 500 screen, second by second.
const std::map<std::string, std::function<void(CompanionManager&, Point&)>>& cursorScenarios() {
    using Script = std::function<void(CompanionManager&, Point&)>;
    auto after = [](double seconds, std::function<void()> step) { MainLoop::postToMainAfter(Seconds(seconds), std::move(step)); };
    static const std::map<std::string, Script> all{
        {"following",
         [after](CompanionManager&, Point& mouse) {
             for (int i = 1; i <= 60; ++i) after(i / 60.0, [&mouse, i] { mouse = {200 + 4.0 * i, 300 - 1.0 * i}; });
         }},
        {"welcome", [](CompanionManager&, Point&) {}},
        {"edge",
         [](CompanionManager&, Point& mouse) {
             mouse = {790, 300};
         }},
        {"flight",
         [after](CompanionManager& c, Point&) {
             after(0.5, [&c] {
                 velmo::test::writable(c).detectedElementScreenLocation = Point{600, 350};
                 velmo::test::writable(c).detectedElementDisplayFrame = Rect{0, 0, 800, 500};
             });
         }},
        {"pointing",
         [after](CompanionManager& c, Point&) {
             after(0.2, [&c] {
                 velmo::test::writable(c).detectedElementScreenLocation = Point{520, 330};
                 velmo::test::writable(c).detectedElementDisplayFrame = Rect{0, 0, 800, 500};
             });
         }},
        {"listening",
         [after](CompanionManager& c, Point&) {
             after(0.1, [&c] {
                 velmo::test::writable(c).voiceState = CompanionVoiceState::listening;
                 velmo::test::writable(c).currentAudioPowerLevel = 0.25;
             });
         }},
        {"glide",
         [after](CompanionManager& c, Point&) {
             after(0.1, [&c] { velmo::test::writable(c).voiceState = CompanionVoiceState::listening; });
             after(0.6, [&c] { velmo::test::writable(c).currentAudioPowerLevel = 1.0; });
         }},
        {"processing", [after](CompanionManager& c,
                               Point&) { after(0.1, [&c] { velmo::test::writable(c).voiceState = CompanionVoiceState::processing; }); }},
        {"video", [](CompanionManager& c, Point&) { showRenditionVideo(c); }},
        {"prompt",
         [](CompanionManager& c, Point&) {
             velmo::test::writable(c).showOnboardingPrompt = true;
             velmo::test::writable(c).onboardingPromptText = std::string(CompanionManager::onboardingPromptMessage);
             velmo::test::writable(c).onboardingPromptOpacity = 1.0;
         }},
        {"demo",
         [after](CompanionManager& c, Point&) {
             showRenditionVideo(c);
             after(0.2, [&c] {
                 velmo::test::writable(c).detectedElementBubbleText = std::string("ooh, a tidy budget sheet");
                 velmo::test::writable(c).detectedElementScreenLocation = Point{260, 430};
                 velmo::test::writable(c).detectedElementDisplayFrame = Rect{0, 0, 800, 500};
             });
         }},
    };
    return all;
}

Scene cursor(const Options& o) {
    const Rect screen{0, 0, 800, 500};
    VirtualMainLoopScope scope;
    auto companion =
        CompanionManager::create({std::make_shared<test::FakeDictationManager>(), std::make_shared<test::FakeShortcutMonitor>(),
                                  std::make_shared<HeadlessOverlayWindowManager>()});
    Point mouse{200, 300};
    BlueCursorView::Environment env;
    env.mouseLocation = [&mouse] { return mouse; };
    env.random = std::make_shared<SeededCursorRandomSource>(1);
    VirtualMainLoop& loop = scope.loop();
    env.referenceDateSeconds = [&loop] { return loop.now(); };
    Scene s{screen.size(), {}};
    {
        BlueCursorView view(screen, o.scenario == "welcome", *companion, env);
        cursorScenarios().at(o.scenario)(*companion, mouse);
        view.appear();
        loop.advance(Seconds(o.at));
        s.layers = view.layers();
    }
    loop.runUntilIdle();
    return s;
}

// The panel's four situations: (onboarding completed, all permissions granted).
const std::map<std::string, std::pair<bool, bool>>& panelSituations() {
    static const std::map<std::string, std::pair<bool, bool>> all{
        {"welcome", {false, false}}, {"allset", {false, true}}, {"onboarded", {true, true}}, {"revoked", {true, false}}};
    return all;
}

// The card with room around it for its shadows, as the panel window holds it.
Scene panel(const Options& o) {
    auto [onboarded, allGranted] = panelSituations().at(o.situation);
    CompanionPanelInputs in = companionPanelSituation(onboarded, allGranted);
    LayoutNode tree = companionPanelLayout(makeCompanionPanelModel(in));
    const Size size = layout(tree, 320);
    CompanionPanelPicture picture = companionPanelPicture(tree, size, "panel.");
    return Scene{picture.canvas, std::move(picture.layers)};
}

const std::map<std::string, std::function<Scene(const Options&)>>& scenes() {
    static const std::map<std::string, std::function<Scene(const Options&)>> all{
        {"glyphs", glyphs}, {"cursor", cursor}, {"panel", panel}, {"icon", icon}};
    return all;
}

int usage() {
    std::fprintf(stderr, "usage: velmo-render SCENE --out FILE.png [--scale N] [--time SECONDS] [--background HEX|none]\n");
    std::fprintf(stderr, "       velmo-render cursor --scenario NAME --at SECONDS --out FILE.png [--scale N] [--background HEX|none]\n");
    std::fprintf(stderr, "       velmo-render panel --situation NAME --out FILE.png [--scale N] [--background HEX|none]\n");
    std::fprintf(stderr, "panel situations:");
    for (const auto& [name, _] : panelSituations()) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "cursor scenarios:");
    for (const auto& [name, _] : cursorScenarios()) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "scenes:");
    for (const auto& [name, _] : scenes()) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    auto scene = scenes().find(argv[1]);
    if (scene == scenes().end()) return usage();
    Options o;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        std::string value = argv[++i];
        char* end = nullptr;
        if (arg == "--out") {
            o.out = value;
        } else if (arg == "--scale") {
            o.scale = std::strtod(value.c_str(), &end);
            if (*end || !(o.scale > 0 && o.scale <= 16)) return usage();
            o.scaleGiven = true;
        } else if (arg == "--scenario") {
            if (!cursorScenarios().count(value)) return usage();
            o.scenario = value;
        } else if (arg == "--situation") {
            if (!panelSituations().count(value)) return usage();
            o.situation = value;
        } else if (arg == "--at") {
            o.at = std::strtod(value.c_str(), &end);
            if (*end || !(o.at >= 0 && o.at <= 600)) return usage();
        } else if (arg == "--time") {
            o.time = std::strtod(value.c_str(), &end);
            if (*end) return usage();
        } else if (arg == "--background") {
            if (value == "none")
                o.background.reset();
            else
                o.background = colorFromHex(value);
        } else {
            return usage();
        }
    }
    if (o.out.empty()) return usage();
    if (scene->first == "cursor") {
        if (o.scenario.empty()) return usage();
        if (!o.scaleGiven) o.scale = 2;
    }
    if (scene->first == "panel") {
        if (o.situation.empty()) return usage();
        if (!o.scaleGiven) o.scale = 2;
    }

    Scene s = scene->second(o);
    if (o.background) {
        Layer back;
        back.id = "background";
        back.kind = Layer::Kind::RoundedRect;
        back.center = {s.canvas.width / 2, s.canvas.height / 2};
        back.size = s.canvas;
        back.fill = *o.background;
        s.layers.insert(s.layers.begin(), back);
    }
    bool written;
    {
        Surface surface(int(s.canvas.width * o.scale), int(s.canvas.height * o.scale), o.scale);
        Painter painter;
        painter.paintFull(surface, s.layers);
        written = surface.writePNG(o.out);
    }
    if (!written) {
        std::fprintf(stderr, "velmo-render: cannot write %s\n", o.out.c_str());
        return 1;
    }
    std::printf("%s\n", o.out.c_str());
    return 0;
}
