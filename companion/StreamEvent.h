#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo {

// The members of one server-sent event that the messages client reads: the event's "type", its
// "delta" object's "type" and "text", and its "error" object's "message". A string member is
// present only when its value is a string; a later member of the same name replaces an earlier
// one, as in a parsed object.
struct StreamEvent {
    std::optional<std::string> type;
    bool deltaIsObject = false;
    std::optional<std::string> deltaType;
    std::optional<std::string> deltaText;
    std::optional<std::string> errorMessage;

    // Reads `json` with a strict parser that builds no tree (the reply stream carries many small
    // events). Nothing when the text is not valid JSON or not an object.
    static std::optional<StreamEvent> parse(std::string_view json);
};

}  // namespace velmo
