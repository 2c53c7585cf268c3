#include "platform/desktop/JpegEncoder.h"

#include <turbojpeg.h>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/desktop/ScreenLayer.h"

namespace velmo {

namespace {
constexpr int kRowsAtOnce = 16;
}  // namespace

JpegEncoder::JpegEncoder()
    : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (buffer_) tjFree(buffer_);
    if (handle_) tjDestroy(handle_);
}

int JpegEncoder::qualityForCompressionFactor(double compressionFactor) {
    double factor = compressionFactor;
    if (!(factor >= 0)) factor = 0;  // NaN too
    if (factor > 1) factor = 1;
    long quality = std::lround(factor * 100);
    return int(std::clamp(quality, 1L, 100L));
}

std::optional<std::vector<std::uint8_t>> JpegEncoder::encode(const Image& image, double compressionFactor) {
    if (image.width <= 0 || image.height <= 0 || image.pixels.size() < image.stride() * std::size_t(image.height)) {
        return std::nullopt;
    }
    return encode(image.pixels.data(), image.width, image.height, image.stride(), compressionFactor);
}

std::optional<std::vector<std::uint8_t>> JpegEncoder::encode(const std::uint8_t* pixels, int width, int height, std::size_t stride,
                                                             double compressionFactor) {
    if (!pixels || width <= 0 || height <= 0 || stride < std::size_t(width) * 4 || stride > std::size_t(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    if (!handle_) return std::nullopt;
    unsigned long needed = tjBufSize(width, height, TJSAMP_420);
    if (needed == static_cast<unsigned long>(-1)) return std::nullopt;
    if (needed > bufferSize_) {
        if (buffer_) tjFree(buffer_);
        buffer_ = tjAlloc(int(std::min<unsigned long>(needed, std::numeric_limits<int>::max())));
        bufferSize_ = buffer_ ? needed : 0;
        if (!buffer_) return std::nullopt;
    }
    // The buffer holds the worst case, so the library never has to grow it.
    unsigned long size = bufferSize_;
    int quality = qualityForCompressionFactor(compressionFactor);
    if (tjCompress2(handle_, pixels, width, int(stride), height, TJPF_BGRX, &buffer_, &size, TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(buffer_, buffer_ + size);
}

// libjpeg reports a failure by calling `error_exit`, which must not return: it jumps back to
// the call that entered the library. Nothing in between owns resources of ours.
struct JpegScanlineEncoder::State {
    struct ErrorManager {
        jpeg_error_mgr base;
        std::jmp_buf jump;
    };
    struct Destination {
        jpeg_destination_mgr base;
        std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>> buffer;
        std::size_t used = 0;
    };

    jpeg_compress_struct compressor{};
    ErrorManager errors{};
    Destination destination{};
    bool created = false;
    bool started = false;
    bool failed = false;

    static void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
    static void onMessage(j_common_ptr, int) {}

    static Destination& destinationOf(j_compress_ptr info) { return *reinterpret_cast<Destination*>(info->dest); }
    static void initDestination(j_compress_ptr info) {
        Destination& d = destinationOf(info);
        if (d.buffer.size() < 64 * 1024) d.buffer.resize(64 * 1024);
        d.base.next_output_byte = d.buffer.data();
        d.base.free_in_buffer = d.buffer.size();
        d.used = 0;
    }
    static boolean emptyDestination(j_compress_ptr info) {
        // The whole buffer is full: it doubles and the encoder goes on after what it holds.
        Destination& d = destinationOf(info);
        std::size_t full = d.buffer.size();
        d.buffer.resize(full * 2);
        d.base.next_output_byte = d.buffer.data() + full;
        d.base.free_in_buffer = d.buffer.size() - full;
        return TRUE;
    }
    static void terminateDestination(j_compress_ptr info) {
        Destination& d = destinationOf(info);
        d.used = d.buffer.size() - d.base.free_in_buffer;
    }
};

JpegScanlineEncoder::JpegScanlineEncoder()
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.compressor.err = jpeg_std_error(&s.errors.base);
    s.errors.base.error_exit = &State::onError;
    s.errors.base.emit_message = &State::onMessage;
    if (setjmp(s.errors.jump)) return;
    jpeg_create_compress(&s.compressor);
    s.destination.base.init_destination = &State::initDestination;
    s.destination.base.empty_output_buffer = &State::emptyDestination;
    s.destination.base.term_destination = &State::terminateDestination;
    s.compressor.dest = &s.destination.base;
    s.created = true;
}

JpegScanlineEncoder::~JpegScanlineEncoder() {
    if (state_->created) jpeg_destroy_compress(&state_->compressor);
}

bool JpegScanlineEncoder::begin(int width, int height, int quality) {
    State& s = *state_;
    s.started = false;
    s.failed = true;
    if (!s.created || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) return false;
    if (setjmp(s.errors.jump)) {
        jpeg_abort_compress(&s.compressor);
        return false;
    }
    jpeg_abort_compress(&s.compressor);  // whatever an earlier picture left behind
    j_compress_ptr c = &s.compressor;
    c->image_width = JDIMENSION(width);
    c->image_height = JDIMENSION(height);
    c->input_components = 4;
    c->in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(c);
    // What the one-call encoder does at these settings: 4:2:0 YCbCr, the fast integer DCT
    // below quality 96.
    jpeg_set_quality(c, std::clamp(quality, 1, 100), TRUE);
    c->dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_FASTEST;
    jpeg_set_colorspace(c, JCS_YCbCr);
    c->comp_info[0].h_samp_factor = 2;
    c->comp_info[0].v_samp_factor = 2;
    for (int i = 1; i < 3; ++i) {
        c->comp_info[i].h_samp_factor = 1;
        c->comp_info[i].v_samp_factor = 1;
    }
    jpeg_start_compress(c, TRUE);
    s.started = true;
    s.failed = false;
    return true;
}

bool JpegScanlineEncoder::write(const std::uint8_t* rows, std::size_t stride, int count) {
    State& s = *state_;
    if (!s.started || s.failed || !rows || count < 0) {
        s.failed = true;
        return false;
    }
    if (setjmp(s.errors.jump)) {
        s.failed = true;
        jpeg_abort_compress(&s.compressor);
        return false;
    }
    JSAMPROW pointers[kRowsAtOnce];
    for (int done = 0; done < count;) {
        int batch = std::min(count - done, int(kRowsAtOnce));
        for (int k = 0; k < batch; ++k) {
            pointers[k] = const_cast<JSAMPROW>(rows + std::size_t(done + k) * stride);
        }
        JDIMENSION written = jpeg_write_scanlines(&s.compressor, pointers, JDIMENSION(batch));
        if (written == 0) {
            s.failed = true;
            return false;
        }
        done += int(written);
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> JpegScanlineEncoder::finish() {
    State& s = *state_;
    if (!s.started || s.failed || s.compressor.next_scanline != s.compressor.image_height) {
        if (s.started && !s.failed) jpeg_abort_compress(&s.compressor);
        s.started = false;
        return std::nullopt;
    }
    s.started = false;
    if (setjmp(s.errors.jump)) {
        jpeg_abort_compress(&s.compressor);
        return std::nullopt;
    }
    jpeg_finish_compress(&s.compressor);
    return std::vector<std::uint8_t>(s.destination.buffer.begin(), s.destination.buffer.begin() + std::ptrdiff_t(s.destination.used));
}

}  // namespace velmo
