// The main storyboard of the app: every screen area registers its scenes
// here, once, before the first scene is made (the window and the tests that
// open scenes call it).
#pragma once

namespace lumora {

void registerAppScenes();

}  // namespace lumora
