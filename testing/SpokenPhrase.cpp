#include "testing/SpokenPhrase.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/WholeFile.h"

namespace velmo::test {

namespace {
std::uint32_t le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24); }
std::uint16_t le16(const unsigned char* p) { return std::uint16_t(p[0] | (p[1] << 8)); }

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}
}  // namespace

std::vector<std::shared_ptr<const AudioPCMBuffer>> SpokenPhrase::floatBuffers(std::uint32_t frames) const {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    const std::size_t total = samples.size() / channelCount;
    for (std::size_t start = 0; start < total; start += frames) {
        std::uint32_t n = std::uint32_t(std::min<std::size_t>(frames, total - start));
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(sampleRate, channelCount), frames);
        for (std::uint32_t c = 0; c < channelCount; ++c) {
            float* out = buffer->floatChannelData(c);
            for (std::uint32_t i = 0; i < n; ++i) out[i] = float(samples[(start + i) * channelCount + c]) / 32768.0f;
        }
        buffer->setFrameLength(n);
        buffers.push_back(buffer);
    }
    return buffers;
}

std::optional<SpokenPhrase> readWAVFile(const std::string& path) {
    const std::string contents = velmo::readWholeFile(path).value_or("");
    std::vector<unsigned char> bytes(contents.begin(), contents.end());
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return std::nullopt;
    SpokenPhrase phrase;
    std::uint16_t bits = 0, format = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size = le32(&bytes[at + 4]);
        const unsigned char* body = &bytes[at + 8];
        std::size_t available = bytes.size() - (at + 8);
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            format = le16(body);
            phrase.channelCount = le16(body + 2);
            phrase.sampleRate = le32(body + 4);
            bits = le16(body + 14);
        } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
            std::size_t n = std::min<std::size_t>(size, available) / 2;
            phrase.samples.resize(n);
            for (std::size_t i = 0; i < n; ++i) phrase.samples[i] = std::int16_t(le16(body + 2 * i));
            break;
        }
        at += 8 + size + (size & 1);
    }
    if (format != 1 || bits != 16 || phrase.channelCount == 0 || phrase.sampleRate <= 0 || phrase.samples.empty()) return std::nullopt;
    return phrase;
}

std::optional<SpokenPhrase> speakPhrase(const std::string& text, std::string* failure, const std::string& voice, int wordsPerMinute) {
    char path[] = "/tmp/velmo-phrase-XXXXXX.wav";
    int fd = mkstemps(path, 4);
    if (fd < 0) {
        if (failure) *failure = "mkstemps failed";
        return std::nullopt;
    }
    close(fd);
    std::string command = "espeak-ng -v " + shellQuote(voice) + " -s " + std::to_string(wordsPerMinute) + " -w " + shellQuote(path) + " " +
                          shellQuote(text) + " >/dev/null 2>&1";
    int rc = std::system(command.c_str());
    auto phrase = rc == 0 ? readWAVFile(path) : std::nullopt;
    std::remove(path);
    if (!phrase && failure) *failure = rc == 0 ? "espeak-ng wrote no usable WAV" : "espeak-ng failed (is it installed?)";
    return phrase;
}

}  // namespace velmo::test
