// The texts of a view tree that are drawn larger than the room they are
// given, as the renderer sets them (the real font at the font resolution):
// a single line wider than its rectangle (elided), ink that falls outside
// the rectangle (the renderer cuts it off), a rectangle outside its
// view, or a text outside an ancestor that clips it (for a scroll view:
// outside all that scrolling can bring into view). Hidden and transparent
// views, and texts clipped away whole, do not count.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/View.h"

namespace testsupport {

// One line per text that does not fit: what it is, where, and the room it
// needs; empty when all fit.
std::vector<std::string> textMisfits(const platform::ui::View& root);

}  // namespace testsupport
