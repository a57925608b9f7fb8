#include "screens/common/LMStoryboard.h"

#include <map>

namespace lumora {

namespace {
std::map<std::string, LMStoryboard::Factory>& sceneRegistry() {
  static std::map<std::string, LMStoryboard::Factory> registry;
  return registry;
}
LMStoryboard::Factory& initialScene() {
  static LMStoryboard::Factory factory;
  return factory;
}
}  // namespace

void LMStoryboard::registerInitialScene(Factory factory) { initialScene() = std::move(factory); }

std::shared_ptr<platform::ui::ViewController> LMStoryboard::instantiateInitialViewController() {
  return initialScene() ? initialScene()() : nullptr;
}

void LMStoryboard::registerScene(const std::string& identifier, Factory factory) {
  sceneRegistry()[identifier] = std::move(factory);
}

std::shared_ptr<platform::ui::ViewController> LMStoryboard::instantiateViewControllerWithIdentifier(
    const std::string& identifier) {
  auto found = sceneRegistry().find(identifier);
  if (found == sceneRegistry().end() || !found->second) return nullptr;
  return found->second();
}

std::vector<std::string> LMStoryboard::identifiers() {
  std::vector<std::string> out;
  for (const auto& [identifier, factory] : sceneRegistry()) out.push_back(identifier);
  return out;
}

}  // namespace lumora
