// The device-information service (service id "deviceinfo") over the
// signed-request layer:
//   POST /api/user/device/setting   "userId", "devId", "content" (a JSON
//        array of {"name", "value"}): stores the device's settings.
//   GET  /api/user/devices/setting  "userId", "meta" (a JSON array of names):
//        {"data": {"list": [{"devId", "setting": [{"name", "value"}]}]}},
//        each device's settings of those names in that order (all of them
//        without "meta"), newest device first.
// The settings live in the Store's database (table device_settings).
//
// Ownership and threading as every SignedService; borrows the Store.
// Failures: code 403 when "userId" is not the caller, 400 for missing or
// malformed parameters, 500 when the settings cannot be stored.
#pragma once

#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class DeviceInfoService : public SignedService {
 public:
  static constexpr const char* kServiceId = "deviceinfo";
  static constexpr const char* kRegisterPath = "/api/user/device/setting";
  static constexpr const char* kListPath = "/api/user/devices/setting";
  // Limits on what one user keeps: past kMaxDevicesPerUser the device
  // registered longest ago goes.
  static constexpr std::size_t kMaxDevIdLength = 128;
  static constexpr std::size_t kMaxContentBytes = 64 * 1024;
  static constexpr int kMaxDevicesPerUser = 64;

  explicit DeviceInfoService(Store& store) : store_(store) {}
  void registerOn(SignedEndpoints& endpoints) override;

 private:
  SignedReply registerDevice(const SignedRequest& req);
  SignedReply listDevices(const SignedRequest& req);

  Store& store_;
};

}  // namespace localcloud
