#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// Session-replay records. Nothing in the application makes, fills or reads them yet.

struct RRStyle {
    std::string color;
    std::string backgroundColor;
    std::string backgroundImage;
    std::int64_t borderWidth = 0;
    std::int64_t borderRadius = 0;
    std::string borderColor;
    std::int64_t fontSize = 0;
    std::string fontFamily;
    std::string horizontalAlign;
    std::string verticalAlign;
    std::int64_t paddingTop = 0;
    std::int64_t paddingBottom = 0;
    std::int64_t paddingLeft = 0;
    std::int64_t paddingRight = 0;
    std::string bar;
};

struct RRWireframe {
    std::int64_t id = 0;
    std::int64_t posX = 0;
    std::int64_t posY = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<RRWireframe> childWireframes;
    std::string type;
    std::string inputType;
    std::string text;
    std::string label;
    std::optional<Value> value;
    std::string base64;
    RRStyle style;
    bool disabled = false;
    bool checked = false;
    Array options;
    std::int64_t max = 0;
    std::int64_t parentId = 0;
};

struct ViewTreeSnapshotStatus {
    bool sentFullSnapshot = false;
    bool sentMetaEvent = false;
    bool keyboardVisible = false;
    bool lastSnapshot = false;
};

}  // namespace ridezav
