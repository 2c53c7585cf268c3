#include "testing/MpegTestClip.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace velmo::test {

namespace {
class BitWriter {
public:
    void put(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ == 0) bytes_.push_back(0);
            if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> used_);
            used_ = (used_ + 1) % 8;
        }
    }
    void padTo(std::size_t size) { bytes_.resize(size, 0), used_ = 0; }
    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    int used_ = 0;
};
}  // namespace

int mpegToneClipSamples(double seconds) {
    int frames = static_cast<int>(std::ceil(seconds * kMpegToneClipRate / kMpegToneClipFrameSamples));
    return frames * kMpegToneClipFrameSamples;
}

std::string makeMpegToneClip(double seconds, int subband) {
    const int frames = mpegToneClipSamples(seconds) / kMpegToneClipFrameSamples;
    // 384 kbit/s at 48 kHz: 12 * 384000 / 48000 = 96 slots of 4 bytes, no padding.
    const std::size_t frameBytes = 384;
    BitWriter w;
    for (int f = 0; f < frames; ++f) {
        std::size_t start = w.size();
        w.put(0xFFF, 12);  // sync
        w.put(1, 1);  // MPEG-1
        w.put(3, 2);  // Layer I
        w.put(1, 1);  // no CRC
        w.put(12, 4);  // 384 kbit/s
        w.put(1, 2);  // 48 kHz
        w.put(0, 1);  // no padding
        w.put(0, 1);  // private
        w.put(3, 2);  // single channel
        w.put(0, 2);  // mode extension
        w.put(0, 1);  // copyright
        w.put(1, 1);  // original
        w.put(0, 2);  // no emphasis
        for (int sb = 0; sb < 32; ++sb) w.put(sb == subband ? 3 : 0, 4);  // 4 bits per sample
        w.put(8, 6);  // scale factor index: about -16 dB
        for (int s = 0; s < 12; ++s) w.put(14, 4);
        w.padTo(start + frameBytes);
    }
    return std::string(w.bytes().begin(), w.bytes().end());
}

}  // namespace velmo::test
