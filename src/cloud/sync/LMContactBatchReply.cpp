#include "cloud/sync/LMContactBatchReply.h"

#include <string>

#include "cloud/model/LMRecord.h"
#include "platform/JsonValues.h"
#include "platform/NumberValues.h"
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

namespace {

// The integer value of an item's "code": a number (range-checked) or a text
// that starts with one ("0"); nullopt for anything else.
std::optional<std::int64_t> codeOf(const platform::Json& item) {
  if (!item.is_object()) return std::nullopt;
  auto found = item.find("code");
  if (found == item.end()) return std::nullopt;
  if (found->is_string()) {
    const std::string& text = found->get_ref<const std::string&>();
    const auto digit = text.find_first_not_of(" \t\n\v\f\r+-");
    if (digit == std::string::npos || text[digit] < '0' || text[digit] > '9') return std::nullopt;
    return platform::leadingIntegerValue<std::int64_t>(text);
  }
  return platform::numberValue<std::int64_t>(*found);
}

}  // namespace

platform::Status batchItemStatus(const platform::Json& item) {
  const std::optional<std::int64_t> present = codeOf(item);
  const std::int64_t code = present.value_or(0);
  if (present && code == 0) return platform::Status::success();
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
