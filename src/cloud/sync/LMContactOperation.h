// One change of one record (contact or group) that the contact sync sends to
// the cloud: add, modify or delete. Knows the request path and the request
// parameters; it sends nothing itself.
//
// Ownership: a plain object; the record is shared with the caller and is
// never changed here. Threading: one thread at a time. Failures: a missing
// record, user, server id or a bad type gives no path (logged); parameters
// fail only when the record's JSON cannot be written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cloud/model/LMRecord.h"
#include "platform/Error.h"

namespace lumora {

class LMContactOperation {
 public:
  static constexpr std::int32_t kTypeAdd = 1;
  static constexpr std::int32_t kTypeModify = 2;
  static constexpr std::int32_t kTypeDelete = 3;

  // No record, type 0 (none), purge false.
  LMContactOperation() = default;
  LMContactOperation(std::shared_ptr<LMRecord> record, std::int32_t type);

  const std::shared_ptr<LMRecord>& record() const { return record_; }
  void setRecord(std::shared_ptr<LMRecord> record) { record_ = std::move(record); }
  std::int32_t type() const { return type_; }
  void setType(std::int32_t type) { type_ = type; }
  // Sent with a delete as "purge".
  bool purge() const { return purge_; }
  void setPurge(bool purge) { purge_ = purge; }
  // An add's mark: a random text the add keeps from its first send on, so
  // that the cloud knows every later send of it as the same add. Sent as
  // "mark" in the record's JSON; none for an add recorded without one.
  const std::optional<std::string>& mark() const { return mark_; }
  void setMark(std::optional<std::string> mark) { mark_ = std::move(mark); }
  // Whether the add was sent before (its reply never came): sent as
  // "resent": true beside its mark. Only such an add may be answered by a
  // record the cloud remembers without the add's mark; a first send always
  // makes a record of its own.
  void setResent(bool resent) { resent_ = resent; }
  // The content an add sends in place of its record's: an add sent again
  // goes with the content it first went with, as it was kept.
  void setSentContent(platform::Json content) { sentContent_ = std::move(content); }

  // "/lum/contact/v2/user/<user>/full" (add), ".../full/<server id>"
  // (modify), ".../full/<server id>/delete" (delete) for the signed-in user
  // `userId` (the sender's, so path and signature name the same user);
  // nullopt without a record, user, server id (modify, delete) or valid
  // type.
  std::optional<std::string> path(const std::optional<std::string>& userId) const;

  // "data": the record's JSON text ("tag" left out of an add's content,
  // the add's mark as "mark", "resent": true for an add sent before);
  // "ckey": the local record id in decimal, "0" when it has none (add,
  // modify); "purge": "1" or "0" (delete). nullopt without a record or when
  // the JSON cannot be written.
  std::optional<platform::Json> dictionaryForLumoraJSON() const;

 private:
  std::shared_ptr<LMRecord> record_;
  std::int32_t type_ = 0;
  bool purge_ = false;
  std::optional<std::string> mark_;
  bool resent_ = false;
  std::optional<platform::Json> sentContent_;
};

}  // namespace lumora
