#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/UTF8.h"  // isValidUTF8

// Unicode helpers on UTF-8 text. Malformed UTF-8 never fails: trimming works on the bytes and
// keeps any malformed sequence as it is (such a sequence is not white space, so trimming stops at
// it); counting and case mapping read each malformed sequence as U+FFFD, so toLowerCase returns it
// replaced by U+FFFD.
namespace velmo {

// Removes white space and line breaks from both ends: general categories Zs, Zl and Zp, plus
// U+0009 to U+000D and U+0085.
std::string trimWhitespaceAndNewlines(std::string_view text);
// Removes white space from both ends: general category Zs and the tab.
std::string trimWhitespace(std::string_view text);
// Removes from both ends every byte found in `asciiCharacters` (for example " \t"). Only ASCII
// characters of the set count, so multi-byte characters are never cut.
std::string trimCharacters(std::string_view text, std::string_view asciiCharacters);
// User-perceived characters (extended grapheme clusters): a composed emoji counts once.
std::size_t graphemeClusterCount(std::string_view text);
// The text cut into its user-perceived characters, each as UTF-8, in order; joined they give the
// text back (malformed sequences read as U+FFFD).
std::vector<std::string> graphemeClusters(std::string_view text);
// Locale-independent lower case.
std::string toLowerCase(std::string_view text);

}  // namespace velmo
