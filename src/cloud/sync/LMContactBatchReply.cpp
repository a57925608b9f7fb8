#include "cloud/sync/LMContactBatchReply.h"

#include <string>

#include "cloud/model/LMRecord.h"
#include "platform/JsonValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {

platform::Result<platform::Json> batchReplyItems(const platform::Json& reply, std::size_t sent) {
  const platform::Json* list = nullptr;
  if (reply.is_object()) {
    auto data = reply.find("data");
    if (data != reply.end() && data->is_object()) {
      auto found = data->find("list");
      if (found != data->end() && found->is_array()) list = &*found;
    }
  }
  if (list == nullptr || list->size() != sent) {
    platform::Error error = LMUtils::errorForLumoraUnknownErrorWithUserInfo(
        {{kLMErrorReasonKey, "The batch reply does not answer every change sent."},
         {kLMErrorDescriptionKey, "Unknown Error"}});
    LM_LOG_ERROR("{}", error.description());
    return error;
  }
  return *list;
}

std::optional<platform::Error> batchItemError(const platform::Json& item) {
  std::int64_t code = 0;
  bool present = false;
  if (item.is_object()) {
    auto found = item.find("code");
    if (found != item.end() && found->is_number()) {
      present = true;
      code = found->is_number_float() ? static_cast<std::int64_t>(found->get<double>())
                                      : found->get<std::int64_t>();
    }
  }
  if (present && code == 0) return std::nullopt;
  platform::Error error(kLMServerErrorDomain, code, item);
  LM_LOG_ERROR("{}", error.description());
  return error;
}

std::optional<platform::Json> batchItemContent(const platform::Json& item, const char* type) {
  auto data = item.find("data");
  if (data == item.end() || !data->is_object()) return std::nullopt;
  if (platform::stringAt(*data, kLMRecordTypeKey) != type) return std::nullopt;
  auto content = data->find(kLMRecordContentKey);
  if (content == data->end() || !content->is_object()) return std::nullopt;
  return *content;
}

}  // namespace lumora
