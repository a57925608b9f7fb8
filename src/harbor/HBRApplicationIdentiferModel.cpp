#include "harbor/HBRApplicationIdentiferModel.h"

#include "harbor/HBRAppIconUtility.h"
#include "harbor/HBRBundle.h"
#include "harbor/HBRElfImage.h"

namespace lumora {

std::unique_ptr<HBRApplicationIdentiferModel> HBRApplicationIdentiferModel::initWithInstallID(
    const std::string& installID) {
  std::unique_ptr<HBRApplicationIdentiferModel> model(new HBRApplicationIdentiferModel());
  if (!model->computeExecutableInfo()) return nullptr;
  model->computeInstanceIdentifier();
  model->icon_ = HBRAppIconUtility().applicationIcon();
  model->installID_ = installID;
  model->bundleIdentifier_ = HBRSanitizedBundleIdentifier();
  return model;
}

std::string HBRApplicationIdentiferModel::builtSDKString() const {
  return HBRVersionTripleFormat(builtSDK_).value_or("0.0.0");
}

std::string HBRApplicationIdentiferModel::minimumSDKString() const {
  return HBRVersionTripleFormat(minimumSDK_).value_or("0.0.0");
}

// The executable here is one ELF image: one architecture, its build-id as
// the UUID, and no SDK versions.
bool HBRApplicationIdentiferModel::computeExecutableInfo() {
  auto identity = HBRElfIdentityOfMainExecutable();
  if (!identity) return false;
  if (identity->uuid) {
    architectureUUIDMap_[HBRElfArchitectureName(identity->machine)] = HBRUUIDStringFromBytes(identity->uuid->data());
  }
  return true;
}

void HBRApplicationIdentiferModel::computeInstanceIdentifier() {
  std::string joined;
  for (const auto& [architecture, uuid] : architectureUUIDMap_) joined += uuid;  // the map is sorted by name
  instanceIdentifier_ = HBRSHA1HexStringFromBytes(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size());
}

}  // namespace lumora
