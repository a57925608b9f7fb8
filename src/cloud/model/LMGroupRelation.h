// One row of the record store's SyncGroup table: ties a cloud contact group
// (id, version, name, status) to its address-book group (record id, name and
// members at the last sync). localJsonString is the JSON array text of the
// local group's member record ids at the last sync.
//
// A plain value; copy it freely, but do not share one object between threads
// without a lock. Absent values are nullopt (stored as SQL NULL). Nothing here
// fails.
#pragma once

#include <optional>
#include <string>

#include "cloud/model/LMRelation.h"

namespace lumora {

class LMGroupRelation : public LMRelation {
 public:
  // A new row: no local group yet (record id -1), in step ("default").
  LMGroupRelation() = default;

  // Name of the local group at the last sync.
  const std::optional<std::string>& localName() const { return localName_; }
  void setLocalName(std::optional<std::string> value) { localName_ = std::move(value); }

  // Cloud group name.
  const std::optional<std::string>& serverName() const { return serverName_; }
  void setServerName(std::optional<std::string> value) { serverName_ = std::move(value); }

  friend bool operator==(const LMGroupRelation&, const LMGroupRelation&) = default;

 private:
  std::optional<std::string> localName_;
  std::optional<std::string> serverName_;
};

}  // namespace lumora
