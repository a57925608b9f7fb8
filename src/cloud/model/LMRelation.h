// What the record store's two row kinds (SyncContact and SyncGroup) share: the
// address-book record id, the cloud version the local record was last synced
// to, the local content at that sync, the cloud id (the tables' primary key),
// the newest cloud version recorded and the row status.
//
// A plain value; copy it freely, but do not share one object between threads
// without a lock. Absent values are nullopt (stored as SQL NULL). Nothing here
// fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cloud/model/LMRelationStatus.h"

namespace lumora {

class LMRelation {
 public:
  // Address-book record id; -1 while the cloud record has no local record.
  const std::optional<std::int32_t>& recordID() const { return recordID_; }
  void setRecordID(std::optional<std::int32_t> value) { recordID_ = value; }

  // Cloud version the local record was last synced to.
  const std::optional<std::int64_t>& localServerSync() const { return localServerSync_; }
  void setLocalServerSync(std::optional<std::int64_t> value) { localServerSync_ = value; }

  // The local record's content at the last sync (see the row kinds).
  const std::optional<std::string>& localJsonString() const { return localJsonString_; }
  void setLocalJsonString(std::optional<std::string> value) { localJsonString_ = std::move(value); }

  // Cloud record id; the table's primary key.
  const std::optional<std::int64_t>& serverID() const { return serverID_; }
  void setServerID(std::optional<std::int64_t> value) { serverID_ = value; }

  // Newest cloud version recorded.
  const std::optional<std::int64_t>& serverSync() const { return serverSync_; }
  void setServerSync(std::optional<std::int64_t> value) { serverSync_ = value; }

  // kLMRelationStatusDefault, kLMRelationStatusCustom or kLMRelationStatusDeleted.
  const std::optional<std::string>& serverStatus() const { return serverStatus_; }
  void setServerStatus(std::optional<std::string> value) { serverStatus_ = std::move(value); }

  friend bool operator==(const LMRelation&, const LMRelation&) = default;

 protected:
  // A new row: no local record yet (record id -1), in step ("default").
  LMRelation() = default;

 private:
  std::optional<std::int32_t> recordID_ = -1;  // the address book's invalid id
  std::optional<std::int64_t> localServerSync_;
  std::optional<std::string> localJsonString_;
  std::optional<std::int64_t> serverID_;
  std::optional<std::int64_t> serverSync_;
  std::optional<std::string> serverStatus_ = std::string(kLMRelationStatusDefault);
};

}  // namespace lumora
