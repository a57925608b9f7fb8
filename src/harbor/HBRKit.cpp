#include "harbor/HBRKit.h"

#include <map>
#include <mutex>

#include "platform/device/ClassRegistry.h"

namespace lumora {
namespace {

std::mutex& kitMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, HBRKitClassPtr>& kitClasses() {
  static auto* classes = new std::map<std::string, HBRKitClassPtr>();
  return *classes;
}

}  // namespace

void HBRRegisterKitClass(HBRKitClassPtr kitClass, const std::string& bundlePath) {
  if (!kitClass) return;
  platform::ClassRegistry::registerClass(kitClass->name, bundlePath);
  std::lock_guard lock(kitMutex());
  kitClasses()[kitClass->name] = std::move(kitClass);
}

HBRKitClassPtr HBRKitClassNamed(const std::string& name) {
  if (!platform::ClassRegistry::lookUp(name)) return nullptr;
  std::lock_guard lock(kitMutex());
  auto it = kitClasses().find(name);
  return it == kitClasses().end() ? nullptr : it->second;
}

}  // namespace lumora
