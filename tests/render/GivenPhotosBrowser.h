// A photo browser over photos given directly, for the render tests.
#pragma once

#include <memory>
#include <vector>

#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMPhotoView.h"

namespace lumora {

class GivenPhotosBrowser : public LMGalleryPhotoBrowseViewController {
 public:
  std::vector<std::shared_ptr<LMImageObject>> photos;

 protected:
  std::size_t photoCount() const override { return photos.size(); }
  void givePagePhoto(LMPhotoView& page, std::size_t index) override { page.setPhoto(photos.at(index)); }
};

}  // namespace lumora
