#include "push/KoPushIOSMessage.h"

#include <string>

namespace lumora {

void KoPushIOSMessage::setBadge(std::int64_t badge) { addExtraItem("badge", std::to_string(badge)); }

void KoPushIOSMessage::setSound(const std::string& soundURL) { addExtraItem("sound_url", soundURL); }

std::optional<KoPushMessage::Fields> KoPushIOSMessage::getMessage() const {
  Fields fields;
  if (!strDescription().empty()) fields.emplace_back("description", strDescription());
  fields.emplace_back("timeToLive", timeToLiveText());
  appendExtras(fields);
  return fields;
}

}  // namespace lumora
