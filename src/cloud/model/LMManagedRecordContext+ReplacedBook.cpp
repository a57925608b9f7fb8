// Telling the address book the rows were made against from one that replaced
// it (its file emptied and filled again, its record ids started over).
#include <chrono>
#include <map>

#include "cloud/model/LMManagedRecordContext.h"
#include "platform/storage/UserDefaults.h"
#include "utils/LMLogUtil.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

// A person is made before any sync that saw them, on the same clock; a
// second of slack covers the rounding of the times a row keeps.
constexpr double kSlackSeconds = 1;

double secondsSince1970(ab::Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

// Whether a person of the book holds the id of a row whose person it cannot
// be: one made after the row's last sync.
bool idsStartedOver(const std::vector<LMContactRelation>& rows, ab::AddressBook& addressBook) {
  std::map<ab::RecordId, double> lastSynced;
  for (const LMContactRelation& row : rows) {
    const double synced = row.localRecordSync().value_or(0.0);
    if (row.recordID() && *row.recordID() != ab::kInvalidRecordId && synced > 0) {
      lastSynced.emplace(*row.recordID(), synced);
    }
  }
  if (lastSynced.empty()) return false;
  for (const ab::Record& person : addressBook.people()) {
    auto row = lastSynced.find(person.id());
    if (row == lastSynced.end()) continue;
    const auto made = person.dateValue(ab::PersonProperty::CreationDate);
    if (made && secondsSince1970(*made) > row->second + kSlackSeconds) return true;
  }
  return false;
}

template <class Row>
bool anyLinked(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    if (row.recordID() && *row.recordID() != ab::kInvalidRecordId) return true;
  }
  return false;
}

}  // namespace

platform::Result<bool> LMManagedRecordContext::startOverIfAddressBookReplaced(ab::AddressBook* addressBook) {
  if (addressBook == nullptr || !isAddressBookAuthorized()) return false;
  auto mark = addressBook->storeMark();
  if (!mark.ok()) return false;
  auto& defaults = platform::UserDefaults::standard();
  const std::optional<std::string> recorded = defaults.stringForKey(kLMAddressBookMarkKey);
  // Adds in flight recorded without their book (by an earlier form of the
  // store) were sent by a sync that recorded its book here first, and a
  // sync that settled them cleared them: the book recorded is theirs (a
  // load since that neither sent nor settled them may have recorded a new
  // book only where no row was linked; with linked rows a new book clears
  // them all). Once the new mark is recorded, nothing else tells which
  // book they came from.
  if (recorded) {
    if (platform::Status given = giveBooklessPendingContactAddsTheBook(*recorded); !given.ok()) return given.error();
  }
  if (recorded == *mark) return false;  // the same book (the usual case: no rows read)

  auto contacts = searchAllContactRelations();
  if (!contacts.ok()) return contacts.error();
  auto groups = searchAllGroupRelations();
  if (!groups.ok()) return groups.error();
  bool replaced = false;
  if (anyLinked(*contacts) || anyLinked(*groups)) {
    // Another book's mark; or, with none recorded, ids that started over.
    replaced = recorded.has_value() || idsStartedOver(*contacts, *addressBook);
  }
  if (replaced) {
    LM_LOG_INFO("The address book was replaced; the next sync starts over");
    if (!clearSynchronousData()) {
      return LMManagedRecordContextDatabase::error("The sync data of a replaced address book cannot be cleared");
    }
  }
  defaults.setString(kLMAddressBookMarkKey, *mark);
  defaults.synchronize();
  return replaced;
}

}  // namespace lumora
