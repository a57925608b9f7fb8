// The classes the program declares by name, so that code may ask at run time
// whether a class exists and which bundle holds it (the phone platform's
// look-up of a class by its name). A subsystem registers its classes when it
// is linked in; tests register and forget names.
// Ownership: one process-wide registry. Threading: thread-safe.
// Failure: none; an unknown name reads as nullopt.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct ClassInfo {
  std::string name;
  // The folder of the bundle the class comes from (Bundle::bundlePath() for
  // the main bundle).
  std::string bundlePath;
};

class ClassRegistry {
 public:
  // The class of that name, or nullopt when the program has none.
  static std::optional<ClassInfo> lookUp(const std::string& name);
  // Declares a class; an empty bundle path means the main bundle.
  static void registerClass(const std::string& name, const std::string& bundlePath = {});
  static void unregisterClass(const std::string& name);
  // Forgets every registered class.
  static void reset();
};

}  // namespace platform
