#pragma once

#include <string>

namespace velmo::test {

// A real MPEG-1 Layer I stream (48 kHz, mono, 384 kbit/s) holding a steady tone, made in
// memory so audio tests need no sample files. Each frame carries 384 samples; the tone sits at
// the centre of subband `subband` (1 gives about 1.1 kHz).
std::string makeMpegToneClip(double seconds, int subband = 1);
constexpr int kMpegToneClipRate = 48000;
constexpr int kMpegToneClipFrameSamples = 384;
// The number of sample frames a clip of `seconds` holds (whole MPEG frames).
int mpegToneClipSamples(double seconds);

}  // namespace velmo::test
