// What the app delegate's background rule asks of the two pages it builds
// off screen after a location wake-up: the contacts page syncs, the gallery
// page backs up or gives up a backup on mobile data. Each page sends its
// work through the background gate, so a call that is not due does nothing.
//
// Ownership: the app delegate owns the pages it makes through the factories
// that the app wiring installs.
// Threading: main thread. Failures: the pages report nothing back.
#pragma once

#include <functional>
#include <memory>

namespace lumora {

class LMBackgroundContactsPage {
 public:
  virtual ~LMBackgroundContactsPage() = default;
  virtual void syncContactsOnBackground() = 0;
};

class LMBackgroundGalleryPage {
 public:
  virtual ~LMBackgroundGalleryPage() = default;
  virtual void backupGalleryOnBackground() = 0;
  virtual void cancelBackgroundBackupGalleryForWWAN() = 0;
};

struct LMBackgroundPageFactories {
  std::function<std::shared_ptr<LMBackgroundContactsPage>()> contacts;
  std::function<std::shared_ptr<LMBackgroundGalleryPage>()> gallery;
};

}  // namespace lumora
