// The cloud gallery's scenes of the main storyboard: the album photo grid
// and the photo browser. Registering twice changes nothing.
//
// Threading: main thread. Nothing here fails.
#pragma once

namespace lumora {

void registerGalleryScenes();

}  // namespace lumora
