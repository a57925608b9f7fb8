// The gallery area's scenes: "galleryRootViewController",
// "gallerySyncLoadViewController" and "errorPhotoNavigationController".
// Main thread; registering twice replaces the factories with equal ones.
#pragma once

namespace lumora {

void registerGalleryScenes();

}  // namespace lumora
