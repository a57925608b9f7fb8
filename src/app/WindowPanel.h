// The window's panel: the world around the phone, one switch per row (the
// network, the device's way up, the app in front or behind, the background
// tasks' time running out). Each row tells its state in the app's language.
// The device row tells how the device is held: a turn that the front page
// refuses (it stays upright) still turns the device, and says so.
//
// Ownership: the rows share what they switch. Threading: main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace lumora {

struct WindowPanelRow {
  std::function<std::string()> label;  // read at every paint
  std::function<void()> action;        // a click on the row
};

std::vector<WindowPanelRow> windowPanelRows();

}  // namespace lumora
