// The app's home: one root directory standing in for the phone's app sandbox,
// holding Documents, Library/Caches, Library/Preferences and tmp.
//
// The root is chosen, in order, by setRoot(), the LUMORA_HOME environment
// variable, or $HOME/.lumora. Folders are created on first use. Safe to call
// from any thread; changing the root while other threads use it is a test-only
// operation.
// Ownership: one process-wide root, set or chosen on first use.
// Failure: a folder that cannot be created is still returned; the failure
// shows where the caller first uses the path.
#pragma once

#include <filesystem>

namespace platform {

class AppHome {
 public:
  static std::filesystem::path root();
  static void setRoot(const std::filesystem::path& root);

  static std::filesystem::path documents();    // <root>/Documents
  static std::filesystem::path caches();       // <root>/Library/Caches
  static std::filesystem::path preferences();  // <root>/Library/Preferences
  static std::filesystem::path tmp();          // <root>/tmp
};

}  // namespace platform
