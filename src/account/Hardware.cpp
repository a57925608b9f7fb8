#include "account/Hardware.h"

#include <array>
#include <string_view>

#include "platform/device/Device.h"

namespace lumora {
namespace {

struct ModelName {
  std::string_view identifier;
  std::string_view detailed;  // platformString
  std::string_view plain;     // deviceModel
};

// Names are kept exactly as the cloud has always received them, irregular
// capitals included.
constexpr std::array<ModelName, 42> kModelNames{{
    {"i386", "iPhone Simulator", "iPhone Simulator"},
    {"x86_64", "iPhone Simulator", "iPhone Simulator"},
    {"iPhone1,1", "iPhone 2G", "iPhone 2G"},
    {"iPhone1,2", "iPhone 3G", "iPhone 3G"},
    {"iPhone2,1", "iPhone 3GS", "iPhone 3GS"},
    {"iPhone3,1", "iPhone 4(GSM)", "iPhone 4"},
    {"iPhone3,2", "iPhone 4(GSM Rev A)", "iPhone 4"},
    {"iPhone3,3", "iPhone 4(CDMA)", "iPhone 4"},
    {"iPhone4,1", "iPhone 4S", "iPhone 4S"},
    {"iPhone5,1", "iPhone 5(GSM)", "iPhone 5"},
    {"iPhone5,2", "iPhone 5(GSM+CDMA)", "iPhone 5"},
    {"iPhone5,3", "iPhone 5c(GSM)", "iPhone 5c"},
    {"iPhone5,4", "iPhone 5c(Global)", "iPhone 5c"},
    {"iPhone6,1", "iPhone 5s(GSM)", "iPhone 5s"},
    {"iPhone6,2", "iPhone 5s(Global)", "iPhone 5s"},
    {"iPhone7,1", "iphone 6", "iphone 6"},
    {"iPhone7,2", "iphone 6 plus", "iphone 6 plus"},
    {"iPod1,1", "iPod Touch 1G", "iPod Touch 1G"},
    {"iPod2,1", "iPod Touch 2G", "iPod Touch 2G"},
    {"iPod3,1", "iPod Touch 3G", "iPod Touch 3G"},
    {"iPod4,1", "iPod Touch 4G", "iPod Touch 4G"},
    {"iPod5,1", "iPod Touch 5G", "iPod Touch 5G"},
    {"iPad1,1", "iPad", "iPad"},
    {"iPad2,1", "iPad 2(WiFi)", "iPad 2"},
    {"iPad2,2", "iPad 2(GSM)", "iPad 2"},
    {"iPad2,3", "iPad 2(CDMA)", "iPad 2"},
    {"iPad2,4", "iPad 2(WiFi+New Chip)", "iPad 2"},
    {"iPad3,1", "iPad 3(WiFi)", "iPad 3"},
    {"iPad3,2", "iPad 3(GSM+CDMA)", "iPad 3"},
    {"iPad3,3", "iPad 3(GSM)", "iPad 3"},
    {"iPad3,4", "iPad 4(WiFi)", "iPad 4"},
    {"iPad3,5", "iPad 4(GSM)", "iPad 4"},
    {"iPad3,6", "iPad 4(GSM+CDMA)", "iPad 4"},
    {"iPad4,1", "iPad Air(WiFi)", "iPad Air"},
    {"iPad4,2", "iPad Air(GSM)", "iPad Air"},
    {"iPad4,3", "iPad Air(GSM+CDMA)", "iPad Air"},
    {"iPad2,5", "iPad mini(WiFi)", "iPad mini"},
    {"iPad2,6", "iPad mini(GSM)", "iPad mini"},
    {"iPad2,7", "ipad mini(GSM+CDMA)", "ipad mini"},
    {"iPad4,4", "iPad mini 2(WiFi)", "iPad mini 2"},
    {"iPad4,5", "iPad mini 2(GSM)", "iPad mini 2"},
    {"iPad4,6", "ipad mini 2(GSM+CDMA)", "ipad mini 2"},
}};

static_assert([] {
  for (const auto& row : kModelNames) {
    if (row.identifier.empty() || row.detailed.empty() || row.plain.empty()) return false;
  }
  return true;
}(), "every model row is filled in");

const ModelName* findModel(std::string_view identifier) {
  for (const auto& row : kModelNames) {
    if (row.identifier == identifier) return &row;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> getSysInfoByName(const char* name) {
  if (name == nullptr) return std::nullopt;
  return platform::Device::sysInfo(name);
}

std::optional<std::string> machine() { return getSysInfoByName("hw.machine"); }

std::string ROM() {
  auto type = getSysInfoByName("kern.ostype");
  auto release = getSysInfoByName("kern.osrelease");
  return type.value_or("(null)") + " " + release.value_or("(null)");
}

std::optional<std::string> platformString() {
  auto identifier = machine();
  if (!identifier) return std::nullopt;
  if (const ModelName* row = findModel(*identifier)) return std::string(row->detailed);
  return identifier;
}

std::string deviceModel() {
  auto identifier = machine();
  if (identifier) {
    if (const ModelName* row = findModel(*identifier)) return std::string(row->plain);
  }
  return platform::Device::model();
}

}  // namespace lumora
