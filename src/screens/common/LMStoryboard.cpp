#include "screens/common/LMStoryboard.h"

#include <map>

namespace lumora {

namespace {
std::map<std::string, LMStoryboard::Factory>& scenes() {
  static std::map<std::string, LMStoryboard::Factory> registry;
  return registry;
}
}  // namespace

void LMStoryboard::registerScene(const std::string& identifier, Factory factory) {
  scenes()[identifier] = std::move(factory);
}

std::shared_ptr<platform::ui::ViewController> LMStoryboard::instantiateViewControllerWithIdentifier(
    const std::string& identifier) {
  auto found = scenes().find(identifier);
  if (found == scenes().end() || !found->second) return nullptr;
  return found->second();
}

std::vector<std::string> LMStoryboard::identifiers() {
  std::vector<std::string> out;
  for (const auto& [identifier, factory] : scenes()) out.push_back(identifier);
  return out;
}

}  // namespace lumora
