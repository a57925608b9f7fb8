#include "screens/gallery/LMGalleryScenes.h"

#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
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
  LMStoryboard::registerScene(LMGalleryAlbumCollectionViewController::kSceneIdentifier,
                              [] { return LMGalleryAlbumCollectionViewController::instantiateScene(); });
  LMStoryboard::registerScene(LMGalleryPhotoCollectionViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGalleryPhotoCollectionViewController>(); });
  LMStoryboard::registerScene(LMGalleryPhotoBrowseViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMGalleryPhotoBrowseViewController>(); });
}

}  // namespace lumora
