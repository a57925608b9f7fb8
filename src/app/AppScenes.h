// The main storyboard of the app: every screen area registers its scenes
// here, once, before the first scene is made (the window and the tests that
// open scenes call it).
#pragma once

#include "screens/common/LMBackgroundPages.h"

namespace lumora {

void registerAppScenes();

// The pages the app delegate builds off screen after a location wake-up:
// the real contacts and gallery pages, their views never loaded.
LMBackgroundPageFactories appBackgroundPages();

}  // namespace lumora
