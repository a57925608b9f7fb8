// The system's advertising-identifier manager: whether the user allows
// tracking for advertising, and the identifier. The program links none on
// Linux, so sharedManager() answers none unless a manager was registered
// (tests register one).
// Ownership: one process-wide slot holding a shared manager. Threading:
// thread-safe. Failure: none; a manager without identifier answers nullopt.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform {

class AdvertisingIdentifierManager {
 public:
  virtual ~AdvertisingIdentifierManager() = default;

  virtual bool isAdvertisingTrackingEnabled() const = 0;
  // Upper-case UUID text.
  virtual std::optional<std::string> advertisingIdentifier() const = 0;

  // The registered manager, or null when the program has none.
  static std::shared_ptr<AdvertisingIdentifierManager> sharedManager();
  // Registers `manager` (null removes it).
  static void registerManager(std::shared_ptr<AdvertisingIdentifierManager> manager);
};

}  // namespace platform
