#pragma once

// The few symbol images the panel shows ("mic", "hand.raised", "rectangle.dashed.badge.record",
// "eye", "power", "play.circle"), drawn as vector outlines of our own: thin strokes with round
// ends, and a filled part where the symbol has one.
//
// Thread contract: plain values, made on any thread.

#include <string>

#include "interface/drawing/Layer.h"

namespace velmo {

bool isKnownSymbol(const std::string& name);

// The layers of a symbol in a square box of side `pointSize` centred in `frame`, tinted `tint`,
// its strokes heavier with `weight` (400 regular, 500 medium, ...). Ids are `id` plus a suffix.
// An unknown name draws nothing.
LayerList symbolLayers(const std::string& name, double pointSize, int weight, Color tint, Rect frame, const std::string& id);

}  // namespace velmo
