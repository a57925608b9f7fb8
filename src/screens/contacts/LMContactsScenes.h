// The contacts area's scenes of the main storyboard: "rootViewController"
// (the contacts page) and "syncLoadViewController" (its progress screen).
//
// Threading: main thread. Registering twice replaces the factories.
#pragma once

namespace lumora {

void registerContactsScenes();

}  // namespace lumora
