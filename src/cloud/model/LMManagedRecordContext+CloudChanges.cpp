// Recording the cloud's changes in the relation rows (with the watermark),
// sorting the rows not in step into the cloud change maps, and translating
// group ids between the cloud and the device.
#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "cloud/model/LMChangeMapDescription.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/diagnostics/Console.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

// What a recording does with one row.
enum class Fate { Unchanged, Added, Updated, Removed };

// The rows of one table as a recording changes them, in memory until the
// whole listing has been looked at; nothing is written before that.
template <class Row>
class Recording {
 public:
  explicit Recording(std::vector<Row> rows) {
    for (Row& row : rows) {
      if (!row.serverID()) continue;
      const std::int64_t id = *row.serverID();
      if (entries_.try_emplace(id, Entry{std::move(row), Fate::Unchanged}).second) order_.push_back(id);
    }
  }

  // One cloud record: a newer version of a row's record makes the row
  // "custom", or "deleted" (a row without a local record is dropped
  // instead); a live record without a row gets a new one (a deleted one
  // without a row is nothing to this device). `copy(record, row)` writes
  // the record into a row and may fail.
  template <class Record, class Copy>
  platform::Status apply(const Record& record, const Copy& copy) {
    const std::int64_t id = *record.serverID;
    const bool live = record.status == kLMRecordStatusCustom;
    const bool deleted = record.status == kLMRecordStatusDeleted;
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.fate == Fate::Removed) {
      if (!live) return platform::Status::success();
      Row row;  // no local record yet
      if (auto copied = copy(record, row); !copied.ok()) return copied;
      if (it == entries_.end()) {
        entries_.emplace(id, Entry{std::move(row), Fate::Added});
        order_.push_back(id);
      } else {
        it->second = Entry{std::move(row), Fate::Updated};  // a dropped row comes back
      }
      return platform::Status::success();
    }
    Entry& entry = it->second;
    const bool newer = entry.row.serverSync() && *entry.row.serverSync() < *record.sync;
    if (!newer || (!live && !deleted)) return platform::Status::success();
    if (deleted && entry.row.recordID() == ab::kInvalidRecordId) {
      remove(it);
      return platform::Status::success();
    }
    if (auto copied = copy(record, entry.row); !copied.ok()) return copied;
    if (entry.fate != Fate::Added) entry.fate = Fate::Updated;
    return platform::Status::success();
  }

  // A full listing: rows whose record it did not hold are gone in the cloud.
  void markMissing(const std::set<std::int64_t>& listed) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (listed.count(it->first) != 0 || it->second.fate != Fate::Unchanged) continue;
      if (it->second.row.recordID() == ab::kInvalidRecordId) {
        remove(it);
      } else {
        it->second.row.setServerStatus(std::string(kLMRelationStatusDeleted));
        it->second.fate = Fate::Updated;
      }
    }
  }

  // Inserts, then updates, then deletes; the first failure ends it.
  template <class Add, class Update, class Delete>
  platform::Status write(const Add& add, const Update& update, const Delete& erase) {
    for (Fate fate : {Fate::Added, Fate::Updated, Fate::Removed}) {
      for (std::int64_t id : order_) {
        auto it = entries_.find(id);
        if (it == entries_.end() || it->second.fate != fate) continue;
        Row& row = it->second.row;
        const bool done = fate == Fate::Added ? add(row) : fate == Fate::Updated ? update(row) : erase(row);
        if (!done) {
          return LMManagedRecordContextDatabase::error(
              fmt::format("Cannot record the cloud change of record {}", id));
        }
      }
    }
    return platform::Status::success();
  }

 private:
  struct Entry {
    Row row;
    Fate fate;
  };

  void remove(typename std::unordered_map<std::int64_t, Entry>::iterator it) {
    if (it->second.fate == Fate::Added) {
      entries_.erase(it);  // never stored
    } else {
      it->second.fate = Fate::Removed;
    }
  }

  std::unordered_map<std::int64_t, Entry> entries_;
  std::vector<std::int64_t> order_;  // table order, then new rows
};

// Records a listing into `recording`: in order for changes; for a full
// listing, the last version of each record, and the rows it lacks are gone.
template <class Row, class Record, class Copy>
platform::Status recordListing(Recording<Row>& recording, const std::vector<Record>& records, bool resync,
                               const Copy& copy) {
  std::vector<const Record*> usable;
  std::unordered_map<std::int64_t, std::size_t> latest;
  for (const Record& record : records) {
    if (!record.serverID || !record.sync) continue;  // cannot be stored
    if (resync) {
      auto [it, added] = latest.try_emplace(*record.serverID, usable.size());
      if (!added) {
        usable[it->second] = &record;
        continue;
      }
    }
    usable.push_back(&record);
  }
  std::set<std::int64_t> listed;
  for (const Record* record : usable) {
    if (auto applied = recording.apply(*record, copy); !applied.ok()) return applied;
    listed.insert(*record->serverID);
  }
  if (resync) recording.markMissing(listed);
  return platform::Status::success();
}

platform::Status copyGroup(const LMGroup& group, LMGroupRelation& row) {
  row.setServerID(group.serverID);
  row.setServerSync(group.sync);
  row.setServerName(group.name);
  row.setServerStatus(group.status);
  return platform::Status::success();
}

platform::Status copyContact(const LMContact& contact, LMContactRelation& row) {
  const platform::Json envelope = contact.dictionaryForLumoraJSON();
  auto text = LMUtils::stringFromJSONObject(envelope.at(kLMRecordContentKey));
  if (!text) return text.error();
  row.setServerID(contact.serverID);
  row.setServerSync(contact.sync);
  row.setJsonString(std::move(*text));
  row.setServerStatus(contact.status);
  return platform::Status::success();
}

// The console line of one change set: a first sync brings thousands, so a
// long set shows its first values and how many more there are.
constexpr std::size_t kConsoleChangesListed = 20;

template <class Map>
void printChanges(const char* what, const Map& map) {
  if (!map.empty()) {
    platform::consoleLog(fmt::format("lumora {}: {}", what, valuesOf(map, kConsoleChangesListed)));
  }
}

}  // namespace

// ---- Recording ----

platform::Status LMManagedRecordContext::saveLumoraGroups(const std::vector<LMGroup>& groups,
                                                          const std::vector<LMContact>& contacts,
                                                          std::int64_t serverSync,
                                                          std::optional<std::string> syncExtraInfo,
                                                          bool resync) {
  platform::Status recorded = performBatch([&]() -> platform::Status {
    if (auto saved = saveLumoraGroups(groups, resync); !saved.ok()) return saved;
    return saveLumoraContacts(contacts, resync);
  });
  if (!recorded.ok()) {
    LM_LOG_ERROR("{}", recorded.error().description());
    return recorded;
  }
  // Moved only once the rows are stored; recording the same listing again
  // changes nothing, so a failure between the two is harmless.
  setServerSync(serverSync);
  setServerSyncExtraInfo(std::move(syncExtraInfo));
  return platform::Status::success();
}

platform::Status LMManagedRecordContext::saveLumoraGroups(const std::vector<LMGroup>& groups,
                                                          bool resync) {
  if (groups.empty()) return platform::Status::success();
  return performBatch([&]() -> platform::Status {
    auto rows = searchAllGroupRelations();
    if (!rows.ok()) return rows.error();
    Recording<LMGroupRelation> recording(std::move(*rows));
    if (auto planned = recordListing(recording, groups, resync, copyGroup); !planned.ok()) return planned;
    return recording.write([this](LMGroupRelation& row) { return addGroupRelation(row); },
                           [this](LMGroupRelation& row) { return updateGroupRelation(row); },
                           [this](LMGroupRelation& row) { return deleteGroupRelation(row); });
  });
}

platform::Status LMManagedRecordContext::saveLumoraContacts(const std::vector<LMContact>& contacts,
                                                            bool resync) {
  if (contacts.empty()) return platform::Status::success();
  return performBatch([&]() -> platform::Status {
    auto rows = searchAllContactRelations();
    if (!rows.ok()) return rows.error();
    Recording<LMContactRelation> recording(std::move(*rows));
    if (auto planned = recordListing(recording, contacts, resync, copyContact); !planned.ok()) return planned;
    return recording.write([this](LMContactRelation& row) { return addContactRelation(row); },
                           [this](LMContactRelation& row) { return updateContactRelation(row); },
                           [this](LMContactRelation& row) { return deleteContactRelation(row); });
  });
}

// ---- Sorting ----

platform::Status LMManagedRecordContext::filterLumoraChangedRecords() {
  cloud_ = {};
  auto groupRows = searchAllUnsyncGroupRelations();
  if (!groupRows.ok()) return groupRows.error();
  auto contactRows = searchAllUnsyncContactRelations();
  if (!contactRows.ok()) return contactRows.error();
  for (const LMGroupRelation& row : *groupRows) {
    if (!row.serverID()) continue;
    LMGroup group;
    group.recordID = row.recordID();
    group.serverID = row.serverID();
    group.sync = row.serverSync();
    group.name = platform::hasText(row.serverName()) ? *row.serverName() : kLMGroupDefaultName;
    group.shouldIgnoreExtensionData = true;
    group.type = kLMRecordTypeLumora;
    if (row.serverStatus() == kLMRelationStatusCustom) {
      auto& map = row.recordID() != ab::kInvalidRecordId ? cloud_.modifyGroups : cloud_.addGroups;
      map.insert_or_assign(*row.serverID(), std::move(group));
    } else if (row.serverStatus() == kLMRelationStatusDeleted) {
      cloud_.deleteGroups.insert_or_assign(*row.serverID(), std::move(group));
    }
  }

  platform::Status sorted;
  for (const LMContactRelation& row : *contactRows) {
    if (!row.serverID()) continue;
    std::optional<platform::Json> content;
    if (platform::hasText(row.jsonString())) {
      auto parsed = LMUtils::jsonObjectFromString(*row.jsonString());
      if (parsed) {
        content = std::move(*parsed);
      } else {
        sorted = parsed.error();
      }
    }
    if (row.serverStatus() == kLMRelationStatusDeleted) {
      cloud_.deleteContacts.insert_or_assign(*row.serverID(), row);
    } else if (row.serverStatus() == kLMRelationStatusCustom && content) {
      if (std::optional<LMContact> contact = LMContact::initWithLumoraJSON(*content)) {
        contact->recordID = row.recordID();
        contact->modificationTime = platform::Clock::TimePoint(
            std::chrono::duration_cast<platform::Clock::Duration>(
                std::chrono::duration<double>(row.localRecordSync().value_or(0.0))));
        const std::int64_t key = contact->serverID.value_or(*row.serverID());
        auto& map =
            row.recordID() != ab::kInvalidRecordId ? cloud_.modifyContacts : cloud_.addContacts;
        map.insert_or_assign(key, std::move(*contact));
      }
    }
    if (!sorted.ok()) break;  // the rest waits until the text is mended
  }
  groupSnapshot_.reset();

  printChanges("contact add", cloud_.addContacts);
  printChanges("contact modify", cloud_.modifyContacts);
  printChanges("contact delete", cloud_.deleteContacts);
  printChanges("group add", cloud_.addGroups);
  printChanges("group modify", cloud_.modifyGroups);
  printChanges("group delete", cloud_.deleteGroups);
  LM_LOG_INFO("lumora contact add({}) modify({}) delete({})", cloud_.addContacts.size(),
              cloud_.modifyContacts.size(), cloud_.deleteContacts.size());
  LM_LOG_INFO("lumora group add({}) modify({}) delete({})", cloud_.addGroups.size(),
              cloud_.modifyGroups.size(), cloud_.deleteGroups.size());
  return sorted;
}

// ---- Group ids ----

platform::Result<std::set<std::int32_t>> LMManagedRecordContext::localRecordIDsFromLumora(
    const std::set<std::int64_t>& serverIDs) {
  std::set<std::int32_t> recordIDs;
  for (std::int64_t serverID : serverIDs) {
    auto row = searchGroupRelationByServerID(serverID);
    if (!row) return row.error();
    if (*row && (*row)->recordID() && *(*row)->recordID() != ab::kInvalidRecordId) {
      recordIDs.insert(*(*row)->recordID());
    }
  }
  return recordIDs;
}

platform::Result<std::set<std::int64_t>> LMManagedRecordContext::lumoraRecordIDsFromLocal(
    const std::set<std::int32_t>& recordIDs) {
  std::set<std::int64_t> serverIDs;
  for (std::int32_t recordID : recordIDs) {
    auto row = searchGroupRelationByRecordID(recordID);
    if (!row) return row.error();
    if (*row && (*row)->serverID()) serverIDs.insert(*(*row)->serverID());
  }
  return serverIDs;
}

}  // namespace lumora
