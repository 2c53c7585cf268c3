#pragma once

#include <string_view>

namespace velmo {

// The fixed system prompt of every messages request: 31 lines joined by line feeds, no line feed
// after the last one.
extern const std::string_view companionSystemPrompt;

}  // namespace velmo
