#include "cloud/sync/LMContactOperation.h"

#include <utility>

#include "platform/Bytes.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {

LMContactOperation::LMContactOperation(std::shared_ptr<LMRecord> record, std::int32_t type)
    : record_(std::move(record)), type_(type) {}

std::optional<std::string> LMContactOperation::path(const std::optional<std::string>& userId) const {
  if (!record_) {
    LM_LOG_INFO("LMContactOperation property record is nil.");
    return std::nullopt;
  }
  if (!platform::hasText(userId)) {
    LM_LOG_INFO("The user's passport ID is nil. Please login to the passport.");
    return std::nullopt;
  }
  const std::string base = "/lum/contact/v2/user/" + *userId + "/full";
  switch (type_) {
    case kTypeAdd:
      return base;
    case kTypeModify:
    case kTypeDelete:
      if (!record_->serverID) {
        LM_LOG_INFO("The record's serverID is nil.");
        return std::nullopt;
      }
      return base + "/" + std::to_string(*record_->serverID) + (type_ == kTypeDelete ? "/delete" : "");
    default:
      LM_LOG_INFO("LMContactOperation property type error.");
      return std::nullopt;
  }
}

std::optional<platform::Json> LMContactOperation::dictionaryForLumoraJSON() const {
  if (!record_) {
    LM_LOG_INFO("LMContactOperation property record is nil.");
    return std::nullopt;
  }
  platform::Json json = record_->dictionaryForLumoraJSON();
  platform::Json parameters = platform::Json::object();

  bool withKey = false;
  switch (type_) {
    case kTypeAdd: {
      if (sentContent_) json["content"] = *sentContent_;
      if (mark_) json["mark"] = *mark_;
      if (resent_) json["resent"] = true;
      auto content = json.find("content");
      if (content != json.end() && content->is_object()) content->erase("tag");
      withKey = true;
      break;
    }
    case kTypeModify:
      withKey = true;
      break;
    case kTypeDelete:
      parameters["purge"] = purge_ ? "1" : "0";
      break;
    default:
      LM_LOG_INFO("LMContactOperation property type error.");
      break;
  }
  if (withKey) {
    if (!record_->recordID) LM_LOG_INFO("The record's recordID is nil.");
    // The caller's record keeps its missing id; the cloud gets "0" for it.
    parameters["ckey"] = std::to_string(record_->recordID.value_or(0));
  }

  auto text = LMUtils::stringFromJSONObject(json);
  if (!text) {
    LM_LOG_ERROR("The record's JSON could not be written: {}", text.error().description());
    return std::nullopt;
  }
  parameters["data"] = *text;
  return parameters;
}

}  // namespace lumora
