// A message to iOS devices: the text, "timeToLive" and the extras, with the
// badge ("extra.badge") and sound ("extra.sound_url") as extras.
// Ownership, threading, failures: as KoPushMessage.
#pragma once

#include <cstdint>

#include "push/KoPushMessage.h"

namespace lumora {

class KoPushIOSMessage : public KoPushMessage {
 public:
  using KoPushMessage::KoPushMessage;

  void setBadge(std::int64_t badge);
  void setSound(const std::string& soundURL);
  std::optional<Fields> getMessage() const override;
};

}  // namespace lumora
