// The gallery area's scenes: "galleryRootViewController",
// "gallerySyncLoadViewController", "errorPhotoNavigationController", the
// cloud album grid "galleryDownloadViewController" (a navigation
// controller), the album photo grid "galleryPhotoCollectionViewController" and the photo
// browser "galleryPhotoBrowseViewController".
// Main thread; registering twice replaces the factories with equal ones.
#pragma once

namespace lumora {

void registerGalleryScenes();

}  // namespace lumora
