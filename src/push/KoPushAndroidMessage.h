// A message to Android devices: title, text, "time_to_live", collapse key,
// payload, restricted package, and the notify type, pass-through and
// notify id numbers (each "0" when unset), with the extras.
// Ownership, threading, failures: as KoPushMessage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "push/KoPushMessage.h"

namespace lumora {

class KoPushAndroidMessage : public KoPushMessage {
 public:
  using KoPushMessage::KoPushMessage;

  void setCollapseKey(std::string collapseKey) { collapseKey_ = std::move(collapseKey); }
  void setPayload(std::string payload) { payload_ = std::move(payload); }
  void setRestrictedPackage(std::string packageName) { restrictedPackageName_ = std::move(packageName); }
  void setPassThrough(std::int64_t passThrough) { passThrough_ = passThrough; }
  void setNotifyType(std::int64_t notifyType) { notifyType_ = notifyType; }
  void setNotifyId(std::int64_t notifyId) { notifyId_ = notifyId; }
  std::optional<Fields> getMessage() const override;

 private:
  std::string collapseKey_;
  std::string payload_;
  std::string restrictedPackageName_;
  std::optional<std::int64_t> notifyType_;
  std::optional<std::int64_t> passThrough_;
  std::optional<std::int64_t> notifyId_;
};

}  // namespace lumora
