// The shared holder of the location manager through which the app asks for
// location access at all times and keeps significant-change monitoring (and
// standard updates) running: the means by which the system wakes the app
// and lets it run in the background. It also answers changes of the
// permission: a loss turns both automatic switches off and posts
// "locationChangeToDeny"; the first grant of access at all times in the
// app's life turns both on and posts "locationChangeToAwlays".
//
// Ownership: sharedHelper() lives for the process and owns its manager
// (replaced on every start). Threading: main thread (the manager's
// permission changes arrive there). Failures: none reported.
#pragma once

#include <memory>

#include "platform/location/LocationManager.h"

namespace lumora {

class LMLocationHelper {
 public:
  static std::shared_ptr<LMLocationHelper> sharedHelper();

  // The background monitoring configuration on `manager`, with `delegate`.
  static void configureForBackground(platform::location::LocationManager& manager,
                                     std::weak_ptr<platform::location::LocationManagerDelegate> delegate);

  // A new configured manager, then standard updates and significant-change
  // monitoring on it.
  void startMonitorLocation();
  // Stops significant-change monitoring on the current manager (if any),
  // then startMonitorLocation(). The screens call it to ask for access.
  void startBackgroundMonitorLocation();
  // Entering the background: restarts monitoring on the current manager,
  // only with access at all times (else monitoring stays off).
  void restartBackgroundMonitorLocation();

  std::shared_ptr<platform::location::LocationManager> backgroundLocationManager() const { return manager_; }

  // The permission callback (also reached through the manager's delegate).
  void didChangeAuthorizationStatus(platform::location::AuthorizationStatus status);

  // Tests: forgets the manager.
  void resetForTesting() { manager_.reset(); }

 private:
  LMLocationHelper() = default;
  void initManager();

  std::shared_ptr<platform::location::LocationManagerDelegate> delegate_;
  std::shared_ptr<platform::location::LocationManager> manager_;
};

// The system version as a number ("9.3" -> 9.3), for the version gates of
// location access.
double systemVersionNumber();

}  // namespace lumora
