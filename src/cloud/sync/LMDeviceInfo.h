// Registration of this device with the device-information service (service
// id "deviceinfo"): signing the "deviceinfo" passport in with the cloud
// passport's tokens, registering this device's description and listing the
// account's devices, each request through the adapter's request loop.
//
// Ownership: each sync adapter owns one over its passports manager and
// request loop. Threading: every call blocks its thread (a relogin waits for
// the main queue): run them on a task or global queue, never on the main
// thread. Failures: not signed in is -10001; the requests' last operations
// carry their outcome.
#pragma once

#include <memory>

#include "cloud/request/LMHTTPRequestLoop.h"
#include "platform/Result.h"

namespace lumora {

class QBPassportsManager;

class LMDeviceInfo {
 public:
  static constexpr const char* kPassportSid = "deviceinfo";
  static constexpr const char* kCloudPassportSid = "lumora";

  LMDeviceInfo(std::shared_ptr<QBPassportsManager> passports, std::shared_ptr<LMHTTPRequestLoop> loop);

  // Signs the "deviceinfo" passport in with the cloud passport's tokens.
  platform::Status updateDeviceInfoServiceInfo();
  // GET /api/user/devices/setting: the account's devices.
  std::shared_ptr<LMHTTPRequestOperation> requestAllDeviceInfo();
  // POST /api/user/device/setting: this device's name, model and system.
  std::shared_ptr<LMHTTPRequestOperation> requestRegisterDeviceInfo();

 private:
  // The signed-in user's id, or the logged -10001.
  platform::Result<std::string> signedInUserId();

  std::shared_ptr<QBPassportsManager> passports_;
  std::shared_ptr<LMHTTPRequestLoop> loop_;
};

}  // namespace lumora
