#include "app/AppScenes.h"

#include "screens/gallery/LMGalleryScenes.h"

namespace lumora {

void registerAppScenes() {
  static const bool registered = [] {
    // The screen areas add their registration calls here as their scenes
    // land (shell, account, contacts, gallery, settings).
    registerGalleryScenes();
    return true;
  }();
  (void)registered;
}

}  // namespace lumora
