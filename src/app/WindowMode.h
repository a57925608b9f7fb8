// `lumora` without --demo: the app in a desktop window. Before Qt starts it
// checks that there is a display to open the window on (DISPLAY,
// WAYLAND_DISPLAY or QT_QPA_PLATFORM); without one it says how to get one
// and returns 2. Then it claims the app home, as --demo does: a home another
// lumora uses is refused (1), with what to do.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace lumora {

struct WindowOptions {
  std::string device = "375x667";
  // Paint the app's first frame into this PNG and quit (smoke tests,
  // screenshots).
  std::optional<std::string> screenshot;
  // Launch as the system does after a location change.
  bool locationLaunch = false;
};

// True when a display (or Qt's offscreen platform) is configured.
bool hasDisplay();
// Makes the app home this process's own (platform::AppHome::claim); false,
// with the reason and what to do written to `err`, when it cannot.
bool claimAppHome(std::FILE* err);
int runWindow(const WindowOptions& options, std::FILE* err);

}  // namespace lumora
