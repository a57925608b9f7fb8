#include "push/KoPushMessage.h"

#include <fmt/format.h>

#include <utility>

namespace lumora {

KoPushMessage::KoPushMessage(std::string title, std::string description)
    : strTitle_(std::move(title)), strDescription_(std::move(description)) {}

void KoPushMessage::setTTL(double seconds) { nTimeToLive_ = seconds * 1000; }

void KoPushMessage::addExtraItem(const std::string& name, const std::string& value) {
  if (name.empty() || value.empty()) return;
  dicExtra_["extra." + name] = value;
}

std::optional<KoPushMessage::Fields> KoPushMessage::getMessage() const { return std::nullopt; }

std::string KoPushMessage::timeToLiveText() const {
  return nTimeToLive_ ? fmt::format("{}", *nTimeToLive_) : "0";
}

void KoPushMessage::appendExtras(Fields& fields) const {
  for (const auto& entry : dicExtra_) fields.push_back(entry);
}

}  // namespace lumora
