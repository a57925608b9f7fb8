#include "account/KPLoginRuntimeMetaData.h"

namespace lumora {

void KPLoginRuntimeMetaData::updateWithSid(std::optional<std::string> sid, std::optional<std::string> qs,
                                           std::optional<std::string> sign,
                                           std::optional<std::string> callback) {
  std::lock_guard<std::mutex> guard(mutex_);
  sid_ = std::move(sid);
  qs_ = std::move(qs);
  sign_ = std::move(sign);
  callback_ = std::move(callback);
}

void KPLoginRuntimeMetaData::resetWithSid(const std::optional<std::string>& sid,
                                          std::optional<std::string> callback) {
  std::lock_guard<std::mutex> guard(mutex_);
  sid_ = sid && !sid->empty() ? *sid : std::string("passport");
  qs_.reset();
  sign_.reset();
  callback_ = std::move(callback);
}

#define LUMORA_METADATA_FIELD(getter, setter, member)                        \
  std::optional<std::string> KPLoginRuntimeMetaData::getter() const {        \
    std::lock_guard<std::mutex> guard(mutex_);                               \
    return member;                                                           \
  }                                                                          \
  void KPLoginRuntimeMetaData::setter(std::optional<std::string> value) {    \
    std::lock_guard<std::mutex> guard(mutex_);                               \
    member = std::move(value);                                               \
  }

LUMORA_METADATA_FIELD(sid, setSid, sid_)
LUMORA_METADATA_FIELD(qs, setQs, qs_)
LUMORA_METADATA_FIELD(sign, setSign, sign_)
LUMORA_METADATA_FIELD(callback, setCallback, callback_)

#undef LUMORA_METADATA_FIELD

}  // namespace lumora
