// What the cloud album grid tells the page that presented it: the user
// pressed the grid's back button. The page answers by dismissing the
// presented grid (animated). Both pages present the grid, so the protocol
// lives here, below both of them.
//
// Ownership: held weakly by the grid. Threading: main thread.
#pragma once

#include <memory>

#include "platform/ui/ViewController.h"

namespace lumora {

class LMGalleryAlbumCollectionViewControllerDelegate {
 public:
  virtual ~LMGalleryAlbumCollectionViewControllerDelegate() = default;
  virtual void didCancelGalleryBrowse() = 0;

 protected:
  // The page's answer: the grid goes, whether `page` or the container it
  // sits in presented it.
  static void dismissGalleryBrowse(platform::ui::ViewController& page) {
    for (auto controller = page.shared_from_this(); controller; controller = controller->parentViewController()) {
      if (controller->presentedViewController()) {
        controller->dismissViewController(true);
        return;
      }
    }
    page.dismissViewController(true);
  }
};

}  // namespace lumora
