#include "platform/device/ClassRegistry.h"

#include <map>
#include <mutex>

#include "platform/device/Bundle.h"

namespace platform {
namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, std::string>& registrySlot() {
  static auto& classes = *new std::map<std::string, std::string>();
  return classes;
}

}  // namespace

std::optional<ClassInfo> ClassRegistry::lookUp(const std::string& name) {
  std::string bundlePath;
  {
    std::lock_guard<std::mutex> guard(registryMutex());
    auto it = registrySlot().find(name);
    if (it == registrySlot().end()) return std::nullopt;
    bundlePath = it->second;
  }
  if (bundlePath.empty()) bundlePath = Bundle::bundlePath();
  return ClassInfo{name, bundlePath};
}

void ClassRegistry::registerClass(const std::string& name, const std::string& bundlePath) {
  std::lock_guard<std::mutex> guard(registryMutex());
  registrySlot()[name] = bundlePath;
}

void ClassRegistry::unregisterClass(const std::string& name) {
  std::lock_guard<std::mutex> guard(registryMutex());
  registrySlot().erase(name);
}

void ClassRegistry::reset() {
  std::lock_guard<std::mutex> guard(registryMutex());
  registrySlot().clear();
}

}  // namespace platform
