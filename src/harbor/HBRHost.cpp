#include "harbor/HBRHost.h"

#include <cstdlib>

#include <fmt/format.h>

#include "platform/device/Device.h"

namespace lumora {

HBROperatingSystemVersion HBRHostGetOSVersion() {
  std::string text = platform::Device::systemVersion();
  std::int64_t pieces[3] = {0, 0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 3 && start <= text.size(); ++i) {
    std::size_t dot = text.find('.', start);
    std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    pieces[i] = std::strtoll(piece.c_str(), nullptr, 10);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return {pieces[0], pieces[1], pieces[2]};
}

std::int64_t HBRHostOSVersionCode() {
  // Every major from 4 up has its code, so newer systems compare above
  // older ones (a code of 0 for 10 and above would read as "too old").
  std::int64_t major = HBRHostGetOSVersion().majorVersion;
  return major >= 4 ? major * 10000 : 0;
}

std::optional<std::string> HBRHostSysctlString(const std::string& name) {
  auto value = platform::Device::sysInfo(name);
  if (!value || value->size() > 127) return std::nullopt;
  return value;
}

std::optional<std::string> HBRHostOSBuildVersion() { return HBRHostSysctlString("kern.osversion"); }

std::string HBRHostOSDisplayVersion() {
  auto version = HBRHostGetOSVersion();
  return fmt::format("{}.{}.{}", version.majorVersion, version.minorVersion, version.patchVersion);
}

std::optional<std::string> HBRHostModelIdentifier() { return HBRHostSysctlString("hw.machine"); }

}  // namespace lumora
