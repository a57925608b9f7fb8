#include "screens/gallery/LMGalleryScenes.h"

#include <memory>

#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"

namespace lumora {

void registerGalleryScenes() {
  LMStoryboard::registerScene(LMGalleryPhotoCollectionViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGalleryPhotoCollectionViewController>(); });
  LMStoryboard::registerScene(LMGalleryPhotoBrowseViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGalleryPhotoBrowseViewController>(); });
}

}  // namespace lumora
