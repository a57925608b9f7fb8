#include "screens/gallery/LMGalleryScenes.h"

#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGallerySyncLoadViewController.h"

namespace lumora {

void registerGalleryScenes() {
  LMStoryboard::registerScene(LMGalleryRootViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGalleryRootViewController>(); });
  LMStoryboard::registerScene(LMGallerySyncLoadViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGallerySyncLoadViewController>(); });
  LMStoryboard::registerScene(LMErrorPhotoCollectionViewController::kSceneIdentifier,
                              [] { return LMErrorPhotoCollectionViewController::instantiateScene(); });
}

}  // namespace lumora
