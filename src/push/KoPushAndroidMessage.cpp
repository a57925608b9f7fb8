#include "push/KoPushAndroidMessage.h"

namespace lumora {
namespace {

void addText(KoPushMessage::Fields& fields, const char* name, const std::string& value) {
  if (!value.empty()) fields.emplace_back(name, value);
}

void addNumber(KoPushMessage::Fields& fields, const char* name, const std::optional<std::int64_t>& value) {
  fields.emplace_back(name, std::to_string(value.value_or(0)));
}

}  // namespace

std::optional<KoPushMessage::Fields> KoPushAndroidMessage::getMessage() const {
  Fields fields;
  addText(fields, "title", strTitle());
  addText(fields, "description", strDescription());
  fields.emplace_back("time_to_live", timeToLiveText());
  addText(fields, "collapse_key", collapseKey_);
  addText(fields, "payload", payload_);
  addText(fields, "restricted_package_name", restrictedPackageName_);
  addNumber(fields, "notify_type", notifyType_);
  addNumber(fields, "pass_through", passThrough_);
  addNumber(fields, "notify_id", notifyId_);
  appendExtras(fields);
  return fields;
}

}  // namespace lumora
