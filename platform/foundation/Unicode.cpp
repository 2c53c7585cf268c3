#include "platform/foundation/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace velmo {
namespace {

// ICU indexes text with 32-bit integers.
int32_t checkedLength(std::string_view text) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) throw std::length_error("text too long for Unicode processing");
    return static_cast<int32_t>(text.size());
}

bool isSpaceSeparator(UChar32 c) { return u_charType(c) == U_SPACE_SEPARATOR; }

bool isWhitespaceOrNewline(UChar32 c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
    const int8_t type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isWhitespace(UChar32 c) { return c == 0x09 || isSpaceSeparator(c); }

// Malformed sequences decode to a negative value, which no predicate accepts.
template <typename Predicate>
std::string trimWhere(std::string_view text, Predicate trimmed) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = checkedLength(text);
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !trimmed(c)) break;
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(s, begin, previous, c);
        if (c < 0 || !trimmed(c)) break;
        end = previous;
    }
    return std::string(text.substr(begin, end - begin));
}

icu::UnicodeString toUnicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), checkedLength(text)));
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) { return trimWhere(text, isWhitespaceOrNewline); }

std::string trimWhitespace(std::string_view text) { return trimWhere(text, isWhitespace); }

std::string trimCharacters(std::string_view text, std::string_view asciiCharacters) {
    auto inSet = [&](char c) { return static_cast<unsigned char>(c) < 0x80 && asciiCharacters.find(c) != std::string_view::npos; };
    size_t begin = 0, end = text.size();
    while (begin < end && inSet(text[begin])) ++begin;
    while (end > begin && inSet(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

// Making a break iterator loads its rules; one per thread is kept and reused.
static icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) it.reset();
        return it;
    }();
    return iterator.get();
}

std::size_t graphemeClusterCount(std::string_view text) {
    if (text.empty()) return 0;
    icu::BreakIterator* iterator = characterIterator();
    const icu::UnicodeString unicode = toUnicode(text);
    if (!iterator) return static_cast<std::size_t>(unicode.countChar32());
    iterator->setText(unicode);
    std::size_t count = 0;
    iterator->first();
    while (iterator->next() != icu::BreakIterator::DONE) ++count;
    return count;
}

std::vector<std::string> graphemeClusters(std::string_view text) {
    std::vector<std::string> clusters;
    if (text.empty()) return clusters;
    const icu::UnicodeString unicode = toUnicode(text);
    icu::BreakIterator* iterator = characterIterator();
    auto append = [&](int32_t begin, int32_t end) {
        std::string cluster;
        unicode.tempSubStringBetween(begin, end).toUTF8String(cluster);
        clusters.push_back(std::move(cluster));
    };
    if (!iterator) {
        for (int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) append(i, unicode.moveIndex32(i, 1));
        return clusters;
    }
    iterator->setText(unicode);
    int32_t begin = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; end = iterator->next()) {
        append(begin, end);
        begin = end;
    }
    return clusters;
}

std::string toLowerCase(std::string_view text) {
    std::string out;
    toUnicode(text).toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

}  // namespace velmo
