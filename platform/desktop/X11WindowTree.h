#pragma once

#include <vector>

struct _XDisplay;

namespace velmo {

// The one walk of the X window tree: the children of `parent` (an X window id), bottom of the
// stack first; empty when the window is gone meanwhile. Errors are the caller's to trap. On the
// thread that owns `display`.
std::vector<unsigned long> x11ChildWindows(_XDisplay* display, unsigned long parent);

// The children of the default screen's root window: the top-level windows, bottom first.
std::vector<unsigned long> x11TopLevelWindows(_XDisplay* display);

}  // namespace velmo
