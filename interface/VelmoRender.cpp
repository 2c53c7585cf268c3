// velmo-render: writes a PNG of what the interface draws, so a person can look at it.
//
//   velmo-render glyphs --out glyphs.png [--scale 4] [--time SECONDS] [--background HEX|none]
//
// Each view state is one subcommand producing a layer list on a canvas of its own size.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"
#include "interface/drawing/Painter.h"

namespace {

using namespace velmo;

struct Options {
    std::string out;
    double scale = 4;
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

const std::map<std::string, std::function<Scene(const Options&)>>& scenes() {
    static const std::map<std::string, std::function<Scene(const Options&)>> all{{"glyphs", glyphs}};
    return all;
}

int usage() {
    std::fprintf(stderr, "usage: velmo-render SCENE --out FILE.png [--scale N] [--time SECONDS] [--background HEX|none]\n");
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
        } else if (arg == "--time") {
            o.time = std::strtod(value.c_str(), &end);
            if (*end) return usage();
        } else if (arg == "--background") {
            if (value == "none") o.background.reset();
            else o.background = colorFromHex(value);
        } else {
            return usage();
        }
    }
    if (o.out.empty()) return usage();

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
