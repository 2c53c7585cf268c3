// Makes the onboarding's media at build time from nothing but code: the background music as a
// WAV file (the build encodes it to MP3 with lame), and the onboarding video, title cards with
// a quiet soundtrack, as an HLS playlist of MPEG-TS segments (H.264 and MP3, via GStreamer).
//
//   velmo-onboarding-media music --out FILE.wav [--seconds N]
//   velmo-onboarding-media video --dir DIR --playlist NAME.m3u8 [--seconds N]

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <cairo.h>

#include "interface/drawing/Color.h"
#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/Painter.h"
#include "voice/MirrinAudioConversionSupport.h"

using namespace velmo;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSampleRate = 44100;

// A slow I-vi-IV-V pad with a plucked arpeggio over it; it fades in and out at the ends.
std::vector<std::int16_t> synthesizeMusic(double seconds, double level) {
    const std::size_t count = std::size_t(seconds * kSampleRate);
    std::vector<std::int16_t> samples(count);
    // Semitones above A3 (220 Hz) of each chord's notes: C, Am, F, G.
    const int chords[4][3] = {{3, 7, 10}, {0, 3, 7}, {-4, 0, 3}, {-2, 2, 5}};
    const double chordSeconds = 4.0, noteSeconds = 0.5;
    auto frequency = [](int semitones) { return 220.0 * std::pow(2.0, semitones / 12.0); };
    for (std::size_t i = 0; i < count; ++i) {
        double t = double(i) / kSampleRate;
        const int* chord = chords[std::size_t(t / chordSeconds) % 4];
        double pad = 0;
        for (int n = 0; n < 3; ++n) pad += std::sin(2 * kPi * frequency(chord[n] - 12) * t) / 3;
        double inChord = std::fmod(t, chordSeconds);
        pad *= std::min(1.0, inChord / 0.8) * std::min(1.0, (chordSeconds - inChord) / 0.4 + 0.3);
        int step = int(t / noteSeconds);
        double inNote = t - step * noteSeconds;
        int note = chord[step % 3] + (step % 6 >= 3 ? 12 : 0);
        double pluck = std::sin(2 * kPi * frequency(note) * t) * std::exp(-inNote * 6);
        double envelope = std::min({1.0, t / 3.0, (seconds - t) / 4.0});
        double v = (0.45 * pad + 0.35 * pluck) * std::max(envelope, 0.0) * level;
        samples[i] = std::int16_t(std::lround(std::clamp(v, -1.0, 1.0) * 32000));
    }
    return samples;
}

int writeMusic(const std::string& out, double seconds) {
    std::vector<std::int16_t> samples = synthesizeMusic(seconds, 0.8);
    MirrinPCM16Data pcm(samples.size() * 2);
    std::memcpy(pcm.data(), samples.data(), pcm.size());  // little-endian host
    std::vector<std::uint8_t> wav = makeWAVData(pcm, kSampleRate, 1, 16);
    std::ofstream file(out, std::ios::binary);
    file.write(reinterpret_cast<const char*>(wav.data()), std::streamsize(wav.size()));
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

struct TitleCard {
    double until;  // seconds
    const char* title;
    const char* line;
};

const TitleCard kCards[] = {
    {8, "Velmo", "your voice-driven desktop assistant"},
    {18, "Hold Control + Option", "and speak while you hold them"},
    {28, "Let go, and Velmo answers", "it looks at your screens and replies out loud"},
    {40, "Watch the blue cursor", "it flies to the thing it talks about"},
    {1e9, "Your turn", "press control + option and introduce yourself"},
};

constexpr int kWidth = 640, kHeight = 360, kFps = 15;

LayerList cardLayers(double t, double seconds) {
    const TitleCard* card = &kCards[0];
    for (const auto& c : kCards)
        if (t < c.until) {
            card = &c;
            break;
        }
    LayerList layers;
    Layer background;
    background.id = "background";
    background.kind = Layer::Kind::RoundedRect;
    background.size = {double(kWidth), double(kHeight)};
    background.center = {kWidth / 2.0, kHeight / 2.0};
    background.fill = colorFromHex("#101828");
    layers.push_back(background);

    auto text = [&](const char* id, const std::string& s, double size, int weight, double y, const char* hex) {
        Layer l;
        l.id = id;
        l.kind = Layer::Kind::Text;
        l.text = s;
        l.font = Font{"DejaVu Sans", size, weight};
        l.fill = colorFromHex(hex);
        Size measured = Painter::measureText(s, l.font);
        l.size = measured;
        l.center = {kWidth / 2.0, y};
        layers.push_back(l);
    };
    text("title", card->title, 34, 700, 150, "#FFFFFF");
    text("line", card->line, 17, 400, 205, "#9CC2FF");

    // A dot in the cursor's blue swinging under the lines, and a bar that fills over the video.
    Layer dot;
    dot.id = "dot";
    dot.kind = Layer::Kind::Capsule;
    dot.size = {14, 14};
    dot.center = {kWidth / 2.0 + 120 * std::sin(t * 1.3), 260};
    dot.fill = CompanionPalette::cursorBlue();
    layers.push_back(dot);
    Layer bar;
    bar.id = "bar";
    bar.kind = Layer::Kind::RoundedRect;
    double w = std::max(1.0, (kWidth - 80) * std::min(1.0, t / seconds));
    bar.size = {w, 4};
    bar.center = {40 + w / 2, kHeight - 24};
    bar.cornerRadius = 2;
    bar.fill = CompanionPalette::cursorBlue();
    layers.push_back(bar);
    return layers;
}

int writeVideo(const std::string& dir, const std::string& playlist, double seconds) {
    gst_init(nullptr, nullptr);
    std::string description =
        "appsrc name=v format=time caps=video/x-raw,format=BGRA,width=" + std::to_string(kWidth) + ",height=" + std::to_string(kHeight) +
        ",framerate=" + std::to_string(kFps) + "/1 ! videoconvert ! x264enc key-int-max=" + std::to_string(kFps * 2) +
        " speed-preset=veryfast ! h264parse ! hlssink2 name=s target-duration=4 playlist-length=0 max-files=0 location=\"" + dir +
        "/segment%05d.ts\" playlist-location=\"" + dir + "/" + playlist +
        "\" appsrc name=a format=time caps=audio/x-raw,format=S16LE,channels=1,rate=44100,layout=interleaved ! audioconvert ! "
        "lamemp3enc ! mpegaudioparse ! s.audio";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline || error) {
        std::fprintf(stderr, "cannot build the encoder: %s\n", error ? error->message : "?");
        return 1;
    }
    GstElement* video = gst_bin_get_by_name(GST_BIN(pipeline), "v");
    GstElement* audio = gst_bin_get_by_name(GST_BIN(pipeline), "a");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    std::vector<std::int16_t> sound = synthesizeMusic(seconds, 0.35);
    const int frames = int(seconds * kFps);
    const std::size_t samplesPerFrame = kSampleRate / kFps;
    Painter painter;
    Surface surface(kWidth, kHeight);
    for (int i = 0; i < frames; ++i) {
        double t = double(i) / kFps;
        painter.paint(surface, cardLayers(t, seconds));
        cairo_surface_t* cs = surface.cairoSurface();
        cairo_surface_flush(cs);
        const int stride = cairo_image_surface_get_stride(cs);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, std::size_t(kWidth * 4 * kHeight), nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        for (int y = 0; y < kHeight; ++y)
            std::memcpy(map.data + std::size_t(y * kWidth * 4), cairo_image_surface_get_data(cs) + std::size_t(y * stride),
                        std::size_t(kWidth * 4));
        gst_buffer_unmap(buffer, &map);
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(std::uint64_t(i), GST_SECOND, kFps);
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(1, GST_SECOND, kFps);
        gst_app_src_push_buffer(GST_APP_SRC(video), buffer);

        std::size_t first = std::size_t(i) * samplesPerFrame;
        std::size_t n = std::min(samplesPerFrame, sound.size() - std::min(first, sound.size()));
        if (n == 0) continue;
        GstBuffer* pcm = gst_buffer_new_allocate(nullptr, n * 2, nullptr);
        gst_buffer_fill(pcm, 0, sound.data() + first, n * 2);
        GST_BUFFER_PTS(pcm) = gst_util_uint64_scale(first, GST_SECOND, kSampleRate);
        GST_BUFFER_DURATION(pcm) = gst_util_uint64_scale(n, GST_SECOND, kSampleRate);
        gst_app_src_push_buffer(GST_APP_SRC(audio), pcm);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(video));
    gst_app_src_end_of_stream(GST_APP_SRC(audio));

    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    int status = 0;
    if (!message || GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* e = nullptr;
        if (message) gst_message_parse_error(message, &e, nullptr);
        std::fprintf(stderr, "encoding failed: %s\n", e ? e->message : "timed out");
        if (e) g_error_free(e);
        status = 1;
    }
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(video);
    gst_object_unref(audio);
    gst_object_unref(pipeline);
    return status;
}

std::string option(int argc, char** argv, const std::string& name, const std::string& fallback = "") {
    for (int i = 2; i + 1 < argc; ++i)
        if (argv[i] == name) return argv[i + 1];
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "music") {
        std::string out = option(argc, argv, "--out");
        if (out.empty()) return 2;
        return writeMusic(out, std::stod(option(argc, argv, "--seconds", "96")));
    }
    if (what == "video") {
        std::string dir = option(argc, argv, "--dir"), playlist = option(argc, argv, "--playlist");
        if (dir.empty() || playlist.empty()) return 2;
        return writeVideo(dir, playlist, std::stod(option(argc, argv, "--seconds", "48")));
    }
    std::fprintf(stderr, "usage: velmo-onboarding-media music --out FILE.wav | video --dir DIR --playlist NAME.m3u8\n");
    return 2;
}
