// Frames built with -O2 -fomit-frame-pointer, which the walker must cross
// by their call-frame information alone.
#include <atomic>

extern "C" {

__attribute__((noinline, visibility("default"))) int bbxOmitFrameRecurse(int depth, void (*atBottom)(void*),
                                                                         void* data) {
  if (depth <= 0) {
    atBottom(data);
    return 0;
  }
  volatile int keep = depth;
  const int below = bbxOmitFrameRecurse(depth - 1, atBottom, data);
  return below + keep;  // not a tail call
}

}
