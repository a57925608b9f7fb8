// What the cloud album grid tells the page that presented it: the user
// pressed the grid's back button. The page answers by dismissing the
// presented grid (animated). Both pages present the grid, so the protocol
// lives here, below both of them.
//
// Ownership: held weakly by the grid. Threading: main thread.
#pragma once

namespace lumora {

class LMGalleryAlbumCollectionViewControllerDelegate {
 public:
  virtual ~LMGalleryAlbumCollectionViewControllerDelegate() = default;
  virtual void didCancelGalleryBrowse() = 0;
};

}  // namespace lumora
