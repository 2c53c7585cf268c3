#include "crashreporter/async/CompactUnwindTesting.h"

#include <cstring>

namespace zvcrash::testing {

namespace {
template <typename T>
void put(std::vector<uint8_t>& out, T value) {
    const size_t at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}
}  // namespace

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::commonEncodings(std::vector<uint32_t> encodings) {
    common_ = std::move(encodings);
    return *this;
}

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::regularPage(uint32_t functionOffset,
                                                                      std::vector<std::pair<uint32_t, uint32_t>> entries) {
    std::vector<uint8_t> page;
    put<uint32_t>(page, 2);
    put<uint16_t>(page, 8);
    put<uint16_t>(page, static_cast<uint16_t>(entries.size()));
    for (auto [offset, encoding] : entries) {
        put(page, offset);
        put(page, encoding);
    }
    return rawPage(functionOffset, std::move(page));
}

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::compressedPage(uint32_t functionOffset,
                                                                         std::vector<std::pair<uint32_t, uint8_t>> entries,
                                                                         std::vector<uint32_t> localEncodings) {
    std::vector<uint8_t> page;
    const auto entriesOffset = static_cast<uint16_t>(12);
    const auto encodingsOffset = static_cast<uint16_t>(12 + 4 * entries.size());
    put<uint32_t>(page, 3);
    put(page, entriesOffset);
    put<uint16_t>(page, static_cast<uint16_t>(entries.size()));
    put(page, encodingsOffset);
    put<uint16_t>(page, static_cast<uint16_t>(localEncodings.size()));
    for (auto [offset, index] : entries) put<uint32_t>(page, (uint32_t{index} << 24) | (offset & 0xffffff));
    for (uint32_t encoding : localEncodings) put(page, encoding);
    return rawPage(functionOffset, std::move(page));
}

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::rawPage(uint32_t functionOffset, std::vector<uint8_t> bytes) {
    pages_.push_back(Page{functionOffset, std::move(bytes)});
    return *this;
}

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::sentinel(uint32_t functionOffset) {
    hasSentinel_ = true;
    sentinel_ = functionOffset;
    return *this;
}

CompactUnwindSectionBuilder& CompactUnwindSectionBuilder::version(uint32_t version) {
    version_ = version;
    return *this;
}

std::vector<uint8_t> CompactUnwindSectionBuilder::build() const {
    const uint32_t commonOffset = 28;
    const uint32_t personalitiesOffset = commonOffset + 4 * static_cast<uint32_t>(common_.size());
    const uint32_t indexOffset = personalitiesOffset;
    const uint32_t indexCount = static_cast<uint32_t>(pages_.size()) + 1;
    uint32_t pageOffset = indexOffset + 12 * indexCount;

    std::vector<uint8_t> out;
    put(out, version_);
    put(out, commonOffset);
    put<uint32_t>(out, static_cast<uint32_t>(common_.size()));
    put(out, personalitiesOffset);
    put<uint32_t>(out, 0);
    put(out, indexOffset);
    put(out, indexCount);
    for (uint32_t encoding : common_) put(out, encoding);
    for (const Page& page : pages_) {
        put(out, page.functionOffset);
        put(out, pageOffset);
        put<uint32_t>(out, 0);
        pageOffset += static_cast<uint32_t>((page.bytes.size() + 3) & ~size_t{3});
    }
    const uint32_t last = pages_.empty() ? 0 : pages_.back().functionOffset + 0x1000;
    put(out, hasSentinel_ ? sentinel_ : last);
    put<uint32_t>(out, 0);
    put<uint32_t>(out, 0);
    for (const Page& page : pages_) {
        out.insert(out.end(), page.bytes.begin(), page.bytes.end());
        out.resize((out.size() + 3) & ~size_t{3});
    }
    return out;
}

}  // namespace zvcrash::testing
