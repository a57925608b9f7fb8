// Whether the screen would be painted otherwise than when last looked at:
// a digest of what the renderer paints (every visible window's views with
// their presentation frame and alpha, bounds, transform, clip and display
// list, and the status bar with its minute), compared with the one taken
// at the last look. The window repaints only when it changed, so an idle
// window paints nothing.
//
// The pictures of the last look are held until the next one, so that a
// picture dropped in between cannot hand its address (its identity) to a
// new one unseen.
//
// Ownership: a value of the window. Threading: the main thread. Nothing
// fails.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform::uiqt {

class ScreenDigest {
 public:
  // Lays the windows out and takes the digest; true when it differs from
  // the last one (always on the first look).
  bool changed();

 private:
  bool taken_ = false;
  std::uint64_t last_ = 0;
  std::vector<std::shared_ptr<const void>> pictures_;
};

}  // namespace platform::uiqt
