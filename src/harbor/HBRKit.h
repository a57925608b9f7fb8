// What the platform facade knows of a kit: its class, found by name at run
// time or handed to Harbor::with. A kit class adopts the HBRKit protocol
// (bundle identifier and display version required, build version and
// initializeIfNeeded optional), or is a legacy kit whose shared instance
// answers start, bundleIdentifier and version. Optional members are empty
// functions when the class does not answer them.
//
// Ownership: kit classes are shared immutable descriptions; the registry
// keeps the registered ones for the life of the process. Threading: the
// registry is thread-safe. Failure: an unknown name reads as nullptr.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace lumora {

// The shared instance of a legacy kit.
struct HBRLegacyKit {
  std::function<void()> start;
  std::function<std::string()> bundleIdentifier;
  std::function<std::string()> version;
};

struct HBRKitClass {
  std::string name;
  bool adoptsHBRKit = false;
  // The HBRKit class methods.
  std::function<std::string()> bundleIdentifier;
  std::function<std::string()> kitDisplayVersion;
  std::function<std::string()> kitBuildVersion;
  std::function<void()> initializeIfNeeded;
  // A legacy kit's class method.
  std::function<std::shared_ptr<HBRLegacyKit>()> sharedInstance;
};

using HBRKitClassPtr = std::shared_ptr<const HBRKitClass>;

// An instance of a kit; Harbor::with uses its class.
class HBRKitObject {
 public:
  virtual ~HBRKitObject() = default;
  virtual HBRKitClassPtr kitClass() const = 0;
};

// One element of the kits given to Harbor::with: a class or an instance.
using HBRKitItem = std::variant<HBRKitClassPtr, std::shared_ptr<const HBRKitObject>>;

// Declares a kit class by its name (also to the platform's class registry,
// where the bundle helpers look classes up).
void HBRRegisterKitClass(HBRKitClassPtr kitClass, const std::string& bundlePath = {});
// The class of that name while the program declares it, else nullptr.
HBRKitClassPtr HBRKitClassNamed(const std::string& name);

}  // namespace lumora
