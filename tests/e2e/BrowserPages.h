// The photo browser's pages as a user reaches them: one swipe to the left
// a page.
#pragma once

#include <cstddef>
#include <memory>

#include "e2e/E2EHarness.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"

namespace e2e {

// Swipes the browser on from the page before `index` (nothing for the
// first) and returns the page it shows at `index`; null when the swipe did
// not bring that page.
inline std::shared_ptr<lumora::LMPhotoView> swipedToPage(E2EHarness& harness,
                                                         const lumora::LMGalleryPhotoBrowseViewController& browser,
                                                         std::size_t index) {
  if (index > 0) {
    harness.drag({320, 400}, {40, 400});
    harness.settle(1);
  }
  if (browser.photoIndex() != index) return nullptr;
  for (const auto& [at, visible] : browser.visiblePages()) {
    if (at == index) return visible;
  }
  return nullptr;
}

}  // namespace e2e
