// Finding duplicate people of the synced source (by name, nickname, company,
// phone number and e-mail address) and merging each accepted group into one
// person.
#include <unordered_map>

#include "cloud/model/LMManagedRecordContext.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

using Pool = std::map<std::int32_t, LMContact>;

// Photos written since the last save above which the address book is saved.
constexpr std::size_t kPendingPhotoBytesLimit = 0x500000;

// Buckets of one pass, in the order their keys were first met.
template <class Bucket>
class Buckets {
 public:
  // The bucket for `key`, made empty when new.
  Bucket& operator[](const std::string& key) {
    auto [it, added] = index_.try_emplace(key, buckets_.size());
    if (added) buckets_.emplace_back();
    return buckets_[it->second];
  }
  Bucket* find(const std::string& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &buckets_[it->second];
  }
  std::vector<Bucket>& all() { return buckets_; }

 private:
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<Bucket> buckets_;
};

void addGroup(std::vector<LMMergeManagedObject>& found, std::vector<LMContact> members,
              std::int32_t kind) {
  LMMergeManagedObject group = LMMergeManagedObject::initWithMergedContacts(std::move(members));
  group.type = kind;
  found.push_back(std::move(group));
}

bool isUnset(const std::optional<std::string>& text) { return !text.has_value(); }

// One of the three name passes: `key` gives a contact's key (nullopt keeps it
// out of the pass); a contact joins an existing bucket only when `sameAs`
// accepts it next to the bucket's first member.
template <class Key, class Same>
void namePass(Pool& pool, std::vector<LMMergeManagedObject>& found, const Key& key,
              const Same& sameAs) {
  Buckets<std::vector<const LMContact*>> buckets;
  for (const auto& [recordID, contact] : pool) {
    std::optional<std::string> k = key(contact);
    if (!k) continue;
    if (auto* bucket = buckets.find(*k)) {
      if (sameAs(contact, *bucket->front())) bucket->push_back(&contact);
    } else {
      buckets[*k].push_back(&contact);
    }
  }
  for (const auto& bucket : buckets.all()) {
    if (bucket.size() < 2) continue;
    std::vector<LMContact> members;
    for (const LMContact* member : bucket) members.push_back(*member);
    for (const LMContact& member : members) pool.erase(*member.recordID);
    addGroup(found, std::move(members), kLMMergeTypeName);
  }
}

// The phone or e-mail pass: every value of a contact's list is a key; a
// bucket holds each contact once. Grouped members leave every bucket of
// their own keys (and the pool, when `leavePool`), so later buckets only
// group who is left.
template <class Keys>
void valuePass(Pool& pool, std::vector<LMMergeManagedObject>& found, const Keys& keysOf,
               std::int32_t kind, bool leavePool) {
  Buckets<std::map<std::int32_t, const LMContact*>> buckets;
  std::unordered_map<std::int32_t, std::vector<std::string>> keysOfMember;
  for (const auto& [recordID, contact] : pool) {
    std::vector<std::string> keys = keysOf(contact);
    for (const std::string& key : keys) buckets[key].emplace(recordID, &contact);
    if (!keys.empty()) keysOfMember.emplace(recordID, std::move(keys));
  }
  std::vector<std::int32_t> grouped;
  for (auto& bucket : buckets.all()) {
    if (bucket.size() < 2) continue;
    std::vector<LMContact> members;
    std::vector<std::int32_t> ids;
    for (const auto& [recordID, contact] : bucket) {
      members.push_back(*contact);
      ids.push_back(recordID);
    }
    addGroup(found, std::move(members), kind);
    for (std::int32_t id : ids) {
      for (const std::string& key : keysOfMember[id]) buckets.find(key)->erase(id);
      grouped.push_back(id);
    }
  }
  if (leavePool) {
    for (std::int32_t id : grouped) pool.erase(id);
  }
}

// The texts under "value" of a contact's list items, made keys by `clean`.
template <class Clean>
std::vector<std::string> itemKeys(const platform::Json& items, const Clean& clean) {
  std::vector<std::string> keys;
  if (!items.is_array()) return keys;
  for (const platform::Json& item : items) {
    auto value = platform::stringAt(item, "value");
    if (!value) continue;
    std::string key = clean(*value);
    if (!key.empty()) keys.push_back(std::move(key));
  }
  return keys;
}

platform::Error mergeError(const char* reason) {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorAddressBookNotAllowed,
      {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, kLMErrorTitleAddressBook}});
}

// Writes one group into the address book (unsaved): the merged fields and
// the first photo into the first kept member, then the others removed.
// `photoBytes` grows by the photo written. The group's results are set only
// when all of it worked.
platform::Status mergeGroup(LMMergeManagedObject& group, ab::AddressBook* addressBook,
                            std::size_t& photoBytes) {
  group.generateMergePropertyArray();
  const std::optional<LMContact> merged =
      LMMergeManagedObject::contactFromPropertyArray(group.mergePropertyArray);
  if (!merged) return mergeError("The duplicates hold nothing to merge");

  std::vector<ab::Record> people;  // kept members still in the address book
  for (const LMContact& member : group.mergeContacts()) {
    if (member.recordID && group.ignoreContactIDs.contains(*member.recordID)) continue;
    ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(member.recordID, addressBook);
    if (!person && people.empty()) return mergeError("The contact to keep is gone");
    if (person) people.push_back(std::move(person));
  }
  ab::Record& survivor = people.front();
  std::optional<platform::Bytes> photo;
  for (const ab::Record& person : people) {
    if (person.hasImageData()) {
      photo = person.imageData(ab::ImageFormat::OriginalSize);
      if (photo) break;
    }
  }

  // The survivor gets everything before anybody is removed.
  if (auto status = merged->mergeToLocalRecord(survivor); !status.ok()) return status.error();
  if (photo) {
    const std::size_t size = photo->size();
    if (auto set = survivor.setImageData(std::move(*photo)); !set.ok()) {
      return LMUtils::errorFromABAddressBookError(set.error());
    }
    photoBytes += size;
  }
  for (std::size_t i = 1; i < people.size(); ++i) {
    if (!LMManagedRecordContext::deleteABRecord(people[i], addressBook)) {
      return mergeError("A duplicate cannot be removed");
    }
  }
  group.finalContact = LMContact::initWithABRecord(survivor);
  group.isMerged = true;
  return platform::Status::success();
}

void resetGroup(LMMergeManagedObject& group) {
  group.isMerged = false;
  group.finalContact.reset();
}

}  // namespace

std::optional<std::vector<LMMergeManagedObject>> LMManagedRecordContext::searchForMergeContacts(
    ab::AddressBook* addressBook, const ab::Record& source) {
  Pool pool = searchAllLocalContacts(addressBook, source);
  if (pool.empty()) return std::nullopt;
  std::vector<LMMergeManagedObject> found;

  // Same name with the same name parts.
  namePass(
      pool, found,
      [](const LMContact& c) -> std::optional<std::string> {
        if (!c.name || (isUnset(c.familyName) && isUnset(c.middleName) && isUnset(c.givenName))) {
          return std::nullopt;
        }
        return c.name;
      },
      [](const LMContact& c, const LMContact& first) {
        return LMUtils::isString(c.familyName, first.familyName) &&
               LMUtils::isString(c.middleName, first.middleName) &&
               LMUtils::isString(c.givenName, first.givenName);
      });
  // Without name parts, a name that is the nickname, then the company.
  for (std::optional<std::string> LMContact::*field : {&LMContact::nickName, &LMContact::company}) {
    namePass(
        pool, found,
        [field](const LMContact& c) -> std::optional<std::string> {
          const bool onlyThat = c.name && isUnset(c.familyName) && isUnset(c.middleName) &&
                                isUnset(c.givenName) && LMUtils::isString(c.name, c.*field);
          return onlyThat ? c.*field : std::nullopt;
        },
        [field](const LMContact& c, const LMContact& first) {
          return LMUtils::isString(c.*field, first.*field);
        });
  }
  valuePass(
      pool, found,
      [](const LMContact& c) {
        return itemKeys(c.phoneNumberArray, [](const std::string& v) {
          return LMUtils::purePhoneNumberWithString(v);
        });
      },
      kLMMergeTypePhone, true);
  // Addresses are keys as written: letter case counts.
  valuePass(
      pool, found,
      [](const LMContact& c) { return itemKeys(c.emailArray, [](const std::string& v) { return v; }); },
      kLMMergeTypeEmail, false);
  return found;
}

std::size_t LMManagedRecordContext::mergeContactObjects(std::vector<LMMergeManagedObject>& groups,
                                                        ab::AddressBook* addressBook,
                                                        const ab::Record& /*source*/) {
  if (groups.empty() || addressBook == nullptr) return 0;
  std::size_t saved = 0;
  std::size_t photoBytes = 0;
  std::vector<std::size_t> pending;  // merged since the last save

  // Drops the unsaved state and writes the pending groups again; a group
  // that fails now is dropped too, and the rest written once more.
  auto rewritePending = [&] {
    for (bool clean = false; !clean;) {
      addressBook->revert();
      photoBytes = 0;
      clean = true;
      for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (mergeGroup(groups[*it], addressBook, photoBytes).ok()) continue;
        resetGroup(groups[*it]);
        pending.erase(it);
        clean = false;
        break;
      }
    }
  };
  // Saves the pending groups; a failed save has dropped them.
  auto savePending = [&]() -> bool {
    photoBytes = 0;
    const platform::Status status = saveAddressBook(addressBook);
    if (!status.ok()) {
      for (std::size_t i : pending) resetGroup(groups[i]);
      pending.clear();
      return false;
    }
    saved += pending.size();
    pending.clear();
    return true;
  };

  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (!groups[i].isContactsCanMerge()) continue;
    if (auto merged = mergeGroup(groups[i], addressBook, photoBytes); !merged.ok()) {
      LM_LOG_ERROR("{}", merged.error().description());
      resetGroup(groups[i]);
      rewritePending();
      continue;
    }
    pending.push_back(i);
    if (photoBytes >= kPendingPhotoBytesLimit && !savePending()) return saved;
  }
  savePending();
  return saved;
}

}  // namespace lumora
