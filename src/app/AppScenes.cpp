#include "app/AppScenes.h"

#include "screens/contacts/LMContactsScenes.h"

namespace lumora {

void registerAppScenes() {
  static const bool registered = [] {
    // The screen areas add their registration calls here as their scenes
    // land (shell, account, contacts, gallery, settings).
    registerContactsScenes();
    return true;
  }();
  (void)registered;
}

}  // namespace lumora
