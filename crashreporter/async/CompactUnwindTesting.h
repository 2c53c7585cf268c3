// Test support: assembles "__unwind_info" sections byte by byte, so that the compact unwind
// reader can be tested on Linux, where no image carries one.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace zvcrash::testing {

class CompactUnwindSectionBuilder {
public:
    // Encodings shared by every compressed page, selected by index.
    CompactUnwindSectionBuilder& commonEncodings(std::vector<uint32_t> encodings);
    // A first-level entry at functionOffset whose page lists (function offset, encoding) pairs.
    CompactUnwindSectionBuilder& regularPage(uint32_t functionOffset, std::vector<std::pair<uint32_t, uint32_t>> entries);
    // A first-level entry at functionOffset whose page lists (offset from functionOffset, encoding
    // index) pairs; indices from the common count on select localEncodings.
    CompactUnwindSectionBuilder& compressedPage(uint32_t functionOffset, std::vector<std::pair<uint32_t, uint8_t>> entries,
                                                std::vector<uint32_t> localEncodings);
    // A first-level entry at functionOffset whose page is exactly bytes.
    CompactUnwindSectionBuilder& rawPage(uint32_t functionOffset, std::vector<uint8_t> bytes);
    // The function offset of the closing first-level entry (default: past the last page's start).
    CompactUnwindSectionBuilder& sentinel(uint32_t functionOffset);
    CompactUnwindSectionBuilder& version(uint32_t version);

    std::vector<uint8_t> build() const;

private:
    struct Page {
        uint32_t functionOffset;
        std::vector<uint8_t> bytes;
    };
    uint32_t version_ = 1;
    std::vector<uint32_t> common_;
    std::vector<Page> pages_;
    bool hasSentinel_ = false;
    uint32_t sentinel_ = 0;
};

}  // namespace zvcrash::testing
