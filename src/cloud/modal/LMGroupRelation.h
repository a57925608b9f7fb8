// One row of the record store's SyncGroup table: ties a cloud contact group
// (id, version, name, status) to its address-book group (record id, name and
// members at the last sync).
//
// A plain value; copy it freely, but do not share one object between threads
// without a lock. Absent values are nullopt (stored as SQL NULL). Nothing here
// fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cloud/modal/LMRelationStatus.h"

namespace lumora {

class LMGroupRelation {
 public:
  // A new row: no local group yet (record id -1), in step ("default").
  LMGroupRelation() = default;

  // Address-book group record id; -1 while the cloud group has no local group.
  const std::optional<std::int32_t>& recordID() const { return recordID_; }
  void setRecordID(std::optional<std::int32_t> value) { recordID_ = value; }

  // Name of the local group at the last sync.
  const std::optional<std::string>& localName() const { return localName_; }
  void setLocalName(std::optional<std::string> value) { localName_ = std::move(value); }

  // Cloud version the local group was last synced to.
  const std::optional<std::int64_t>& localServerSync() const { return localServerSync_; }
  void setLocalServerSync(std::optional<std::int64_t> value) { localServerSync_ = value; }

  // JSON array text of the local group's member record ids at the last sync.
  const std::optional<std::string>& localJsonString() const { return localJsonString_; }
  void setLocalJsonString(std::optional<std::string> value) { localJsonString_ = std::move(value); }

  // Cloud group id; the table's primary key.
  const std::optional<std::int64_t>& serverID() const { return serverID_; }
  void setServerID(std::optional<std::int64_t> value) { serverID_ = value; }

  // Newest cloud version recorded.
  const std::optional<std::int64_t>& serverSync() const { return serverSync_; }
  void setServerSync(std::optional<std::int64_t> value) { serverSync_ = value; }

  // Cloud group name.
  const std::optional<std::string>& serverName() const { return serverName_; }
  void setServerName(std::optional<std::string> value) { serverName_ = std::move(value); }

  // kLMRelationStatusDefault, kLMRelationStatusCustom or kLMRelationStatusDeleted.
  const std::optional<std::string>& serverStatus() const { return serverStatus_; }
  void setServerStatus(std::optional<std::string> value) { serverStatus_ = std::move(value); }

  friend bool operator==(const LMGroupRelation&, const LMGroupRelation&) = default;

 private:
  std::optional<std::int32_t> recordID_ = -1;  // the address book's invalid id
  std::optional<std::string> localName_;
  std::optional<std::int64_t> localServerSync_;
  std::optional<std::string> localJsonString_;
  std::optional<std::int64_t> serverID_;
  std::optional<std::int64_t> serverSync_;
  std::optional<std::string> serverName_;
  std::optional<std::string> serverStatus_ = std::string(kLMRelationStatusDefault);
};

}  // namespace lumora
