// The contacts area's scenes of the main storyboard: "rootViewController"
// (the contacts page), "syncLoadViewController" (its progress screen), the
// duplicate merge and the source merge (each inside a navigation
// controller), the manual merge and the contacts list. The presenter sets
// the delegates.
//
// Threading: main thread. Registering twice replaces the factories.
#pragma once

namespace lumora {

void registerContactsScenes();

}  // namespace lumora
