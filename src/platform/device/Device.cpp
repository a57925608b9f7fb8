#include "platform/device/Device.h"

#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/AppHome.h"

#include <sys/utsname.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <mutex>

namespace platform {
namespace {

std::mutex& factsMutex() {
  static std::mutex m;
  return m;
}

DeviceFacts& factsSlot() {
  static auto& facts = *new DeviceFacts([] {
    DeviceFacts f;
    auto env = [](const char* key) -> std::optional<std::string> {
      const char* v = std::getenv(key);
      if (v && *v) return std::string(v);
      return std::nullopt;
    };
    f.modelIdentifier = env("LUMORA_DEVICE_MODEL");
    f.systemName = env("LUMORA_SYSTEM_NAME");
    f.systemVersion = env("LUMORA_SYSTEM_VERSION");
    f.systemBuild = env("LUMORA_SYSTEM_BUILD");
    return f;
  }());
  return facts;
}

std::optional<std::string> unameField(std::string_view name) {
  struct utsname info {};
  if (uname(&info) != 0) return std::nullopt;
  if (name == "hw.machine") return std::string(info.machine);
  if (name == "kern.ostype") return std::string(info.sysname);
  if (name == "kern.osrelease") return std::string(info.release);
  if (name == "kern.version" || name == "kern.osversion") return std::string(info.version);
  if (name == "kern.hostname") return std::string(info.nodename);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Device::sysInfo(std::string_view name) {
  {
    std::lock_guard<std::mutex> guard(factsMutex());
    if (name == "hw.machine" && factsSlot().modelIdentifier) return factsSlot().modelIdentifier;
    if (name == "kern.osversion" && factsSlot().systemBuild) return factsSlot().systemBuild;
  }
  return unameField(name);
}

std::optional<std::string> Device::processName(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (pid <= 0 || !in || !std::getline(in, name)) return std::nullopt;
  return name;
}

std::optional<std::string> Device::architectureName() { return unameField("hw.machine"); }

std::string Device::model() {
  std::lock_guard<std::mutex> guard(factsMutex());
  return factsSlot().model.value_or("iPhone");
}

std::string Device::systemName() {
  std::lock_guard<std::mutex> guard(factsMutex());
  return factsSlot().systemName.value_or("iPhone OS");
}

bool Device::systemVersionIsAtLeast(double version) {
  return std::strtod(systemVersion().c_str(), nullptr) >= version;
}

std::string Device::systemVersion() {
  std::lock_guard<std::mutex> guard(factsMutex());
  return factsSlot().systemVersion.value_or("9.3");
}

std::string Device::name() {
  {
    std::lock_guard<std::mutex> guard(factsMutex());
    if (factsSlot().name) return *factsSlot().name;
  }
  return unameField("kern.hostname").value_or("localhost");
}

std::string Device::filesystemRoot() {
  {
    std::lock_guard<std::mutex> guard(factsMutex());
    if (factsSlot().filesystemRoot) return *factsSlot().filesystemRoot;
  }
  return (AppHome::root() / "Device").string();
}

void Device::configure(const DeviceFacts& facts) {
  std::lock_guard<std::mutex> guard(factsMutex());
  factsSlot() = facts;
}

DeviceFacts Device::configured() {
  std::lock_guard<std::mutex> guard(factsMutex());
  return factsSlot();
}

namespace {
std::atomic<int> gDeviceOrientation{static_cast<int>(DeviceOrientation::Unknown)};
}  // namespace

DeviceOrientation Device::orientation() { return static_cast<DeviceOrientation>(gDeviceOrientation.load()); }

void Device::setOrientation(DeviceOrientation orientation) {
  if (gDeviceOrientation.exchange(static_cast<int>(orientation)) == static_cast<int>(orientation)) return;
  NotificationCenter::defaultCenter().post(kDeviceOrientationDidChangeNotification);
}

}  // namespace platform
