// The app's identity as the reporting platform reports it: the UUID of the
// main executable per architecture (from its ELF build-id), the instance
// identifier (SHA-1 over those UUIDs in the order of their architecture
// names), the minimum and built SDK versions (0.0.0: ELF images carry
// none), the app icon, the installation identifier and the sanitised bundle
// identifier. Computed once at platform start.
//
// Ownership: a plain object the platform facade holds. Threading: read from
// any thread once made. Failure: create() gives nullptr when the main
// executable cannot be read.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "harbor/HBRIcon.h"
#include "harbor/HBRMachO.h"

namespace lumora {

class HBRApplicationIdentiferModel {
 public:
  static std::unique_ptr<HBRApplicationIdentiferModel> initWithInstallID(const std::string& installID);

  std::string builtSDKString() const;
  std::string minimumSDKString() const;

  // Architecture name to 32 lower-case hexadecimal digits.
  const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
  const std::string& installID() const { return installID_; }
  const std::optional<HBRIcon>& icon() const { return icon_; }
  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
  // 40 lower-case hexadecimal digits.
  const std::string& instanceIdentifier() const { return instanceIdentifier_; }
  HBRVersionTriple builtSDK() const { return builtSDK_; }
  HBRVersionTriple minimumSDK() const { return minimumSDK_; }

 private:
  HBRApplicationIdentiferModel() = default;
  bool computeExecutableInfo();
  void computeInstanceIdentifier();

  std::map<std::string, std::string> architectureUUIDMap_;
  std::string installID_;
  std::optional<HBRIcon> icon_;
  std::optional<std::string> bundleIdentifier_;
  std::string instanceIdentifier_;
  HBRVersionTriple builtSDK_;
  HBRVersionTriple minimumSDK_;
};

}  // namespace lumora
