#pragma once

// From the captures of the displays to what the messages service sees, and from a pointing
// tag's pixel back to the screen. Shared by the reply pipeline and the onboarding demonstration.

#include <vector>

#include "companion/ClaudeAPI.h"
#include "companion/CompanionScreenCapture.h"
#include "companion/ParsedPointTag.h"
#include "platform/desktop/Geometry.h"

namespace velmo {

// A display's capture as the messages service receives it: the image, labelled with its pixel
// size, which is the space the pointing tag's coordinates are in.
ClaudeAPI::Image labelledImageOf(const CompanionScreenCapture& capture);
// The capture of the display under the mouse, if any.
const CompanionScreenCapture* cursorCaptureIn(const std::vector<CompanionScreenCapture>& captures);
// A tag's pixel of the capture's screenshot, in global points on the display it shows.
Point screenPointOf(PixelPoint pixel, const CompanionScreenCapture& capture);

}  // namespace velmo
