// One group of duplicate contacts found in the address book: the members,
// the ids of the members the user left out, the merge property list (the
// distinct values the remaining members offer, field by field) and the
// result of the merge.
//
// The merge property list is a JSON array of entries
//   {"type": 0 (single value) or 1 (list), <field>: [{"value", "display"}...]}
// in a fixed field order ("name", the phonetic names, prefix, suffix,
// birthday, nickname, company, job title, note, then the seven lists); an
// entry appears only when it has a choice. contactFromPropertyArray turns
// such a list (possibly edited by a screen) back into one contact.
//
// Ownership: a plain value held by the screen or merge run that uses it;
// the members never change after creation and are shared by its copies.
// No locking: a caller uses an object from one thread at a time. Nothing
// fails; unusable entries of a property list are skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "cloud/model/LMContact.h"

namespace lumora {

// How a duplicate group was found (LMMergeManagedObject::type).
inline constexpr std::int32_t kLMMergeTypeNone = 0;
inline constexpr std::int32_t kLMMergeTypeName = 1;   // full name, nickname or company
inline constexpr std::int32_t kLMMergeTypePhone = 2;
inline constexpr std::int32_t kLMMergeTypeEmail = 3;

// Entry "type" values of the merge property list.
inline constexpr std::int32_t kLMMergePropertySingle = 0;
inline constexpr std::int32_t kLMMergePropertyList = 1;

class LMMergeManagedObject {
 public:
  // Type 0, not merged, nothing ignored; builds the property list.
  explicit LMMergeManagedObject(std::vector<LMContact> contacts);
  static LMMergeManagedObject initWithMergedContacts(std::vector<LMContact> contacts) {
    return LMMergeManagedObject(std::move(contacts));
  }

  // A copy of the members, in the order given at creation.
  std::vector<LMContact> mergeContacts() const { return *contacts_; }
  // The members without a copy (valid while the group lives unchanged).
  const std::vector<LMContact>& members() const { return *contacts_; }
  // The members, shared: they outlive a change of the group (a view that
  // shows one keeps it so).
  const std::shared_ptr<const std::vector<LMContact>>& sharedMembers() const { return contacts_; }

  // Rebuilds mergePropertyArray from the members whose recordID is not in
  // ignoreContactIDs (members taken in group order). Does nothing when the
  // group has no members.
  void generateMergePropertyArray();

  // Not merged yet and more than one member left after the ignores.
  bool isContactsCanMerge() const;

  // A new contact (type 1) from a merge property list: the name parts of
  // the first "name" choice (first entry only), the first choice of every
  // single-valued field, every choice of every list. Entries naming no known
  // field, or carrying values of the wrong kind, are skipped. nullopt when
  // `propertyArray` is not a non-empty array.
  static std::optional<LMContact> contactFromPropertyArray(const platform::Json& propertyArray);

  std::int32_t type = kLMMergeTypeNone;
  bool isMerged = false;
  std::optional<LMContact> finalContact;     // written into the kept person
  platform::Json mergePropertyArray = platform::Json::array();
  std::set<std::int32_t> ignoreContactIDs;   // recordIDs left out by the user

 private:
  std::shared_ptr<const std::vector<LMContact>> contacts_;
};

}  // namespace lumora
