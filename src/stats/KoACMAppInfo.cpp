#include "stats/KoACMAppInfo.h"

#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>

#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "stats/KoStatCoreParam.h"

namespace lumora {
namespace {

std::string infoText(const char* key) { return platform::Bundle::infoString(key).value_or(""); }

}  // namespace

KoACMAppInfo KoACMAppInfo::current() {
  KoACMAppInfo info;
  info.strID = KoStatCoreParam::getDeviceID();
  info.strMachine = KoStatCoreParam::getSysCTL("hw.machine");
  info.strProcess = fmt::format("{} [{}]", platform::Device::processName(getpid()).value_or(""), getpid());
  info.strPath = (std::filesystem::path(platform::Bundle::bundlePath()) / infoText("CFBundleExecutable")).string();
  info.strIdentifier = infoText("CFBundleIdentifier");
  info.strVersion = fmt::format("{} ({})", infoText("CFBundleShortVersionString"), infoText("CFBundleVersion"));
  info.strCodeType = platform::Device::architectureName().value_or("unknown");
  info.strParentProcess = fmt::format("{} [{}]", KoStatCoreParam::getProcessName(), getppid());
  info.strOSVerion = fmt::format("{} {} ({})", platform::Device::systemName(), platform::Device::systemVersion(),
                                 KoStatCoreParam::getSysCTL("kern.osversion"));
  info.strReportVersion = "104";
  return info;
}

void KoACMAppInfo::encodeWithCoder(platform::KeyedArchive& coder) const {
  for (const auto& [key, field] : kFields) {
    if (const Text& value = this->*field) coder.encodeString(key, *value);
  }
}

KoACMAppInfo KoACMAppInfo::initWithCoder(const platform::KeyedArchive& coder) {
  KoACMAppInfo info;
  for (const auto& [key, field] : kFields) info.*field = coder.decodeString(key);
  return info;
}

std::string KoACMAppInfo::description() const {
  std::string text = "\n";
  for (const auto& [key, field] : kFields) text += fmt::format("{}:{} \n", key, (this->*field).value_or("(null)"));
  return text;
}

}  // namespace lumora
