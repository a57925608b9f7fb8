// The main storyboard: scenes found by identifier, each made by the factory
// its screen area registered (the app wires the areas in at start). A scene
// factory returns the controller with its views and outlets in place.
//
// Ownership: the registry is process-wide; factories live as long as it.
// Threading: main thread. Failure: an unknown identifier gives nullptr.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ViewController.h"

namespace lumora {

class LMStoryboard {
 public:
  using Factory = std::function<std::shared_ptr<platform::ui::ViewController>()>;

  static void registerScene(const std::string& identifier, Factory factory);
  static std::shared_ptr<platform::ui::ViewController> instantiateViewControllerWithIdentifier(
      const std::string& identifier);
  // The start scene, the one the app opens with (nullptr before one is
  // registered).
  static void registerInitialScene(Factory factory);
  static std::shared_ptr<platform::ui::ViewController> instantiateInitialViewController();
  // Every registered identifier, sorted.
  static std::vector<std::string> identifiers();
};

}  // namespace lumora
