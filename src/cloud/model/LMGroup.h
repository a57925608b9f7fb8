// A contact group on either side of the sync: the base record plus the
// address-book record ids of its members. Its cloud content carries the
// group's name as "title"; on the device it is also kept in the group
// snapshot archive under the three kLMGroup...Key keys.
//
// A plain value used from one thread at a time; reading the cloud form or an
// archive never fails on a value of the wrong type.
#pragma once

#include <cstdint>
#include <optional>
#include <set>

#include "cloud/model/LMRecord.h"
#include "platform/storage/KeyedArchive.h"

namespace lumora {

inline constexpr const char* kLMGroupTitleKey = "title";
inline constexpr const char* kLMGroupDefaultName = "Group";

// Archive keys of one group.
inline constexpr const char* kLMGroupIDKey = "kLMGroupIDKey";                // recordID
inline constexpr const char* kLMGroupNameKey = "kLMGroupNameKey";            // name
inline constexpr const char* kLMGroupMemberSetKey = "kLMGroupMemberSetKey";  // memberIDs

class LMGroup : public LMRecord {
 public:
  // The base reader, then "title" (a non-empty string, consumed) as the name,
  // else the name "Group" (a present but unusable "title" stays in
  // extensionData). No members.
  static std::optional<LMGroup> initWithLumoraJSON(const platform::Json& content);

  // A group of type 1 from an address-book group, with its members; nullopt
  // for the null record, one without a valid id, or a record that is not a
  // group.
  static std::optional<LMGroup> initWithABRecord(const platform::addressbook::Record& record);
  // Adds the record id of every person of an address-book group, in the
  // order the address book lists them.
  void setMemberIDArrayWithRecord(const platform::addressbook::Record& group);

  // A group of type 1 from one archive made by encodeWithCoder; missing keys
  // leave the field unset (no members when the member key is absent).
  static LMGroup initWithCoder(const platform::KeyedArchive& coder);
  // Writes recordID, name and the members (an array of integers) under the
  // archive keys; an unset recordID or name is not written.
  void encodeWithCoder(platform::KeyedArchive& coder) const;

  // The base envelope with "type" "group" and "title" = name when non-empty.
  platform::Json dictionaryForLumoraJSON() const override;

  // Writes the name (when non-empty) into an address-book group; nothing for
  // a record that is not a group. The address book's error is converted
  // (LMUtils::errorFromABAddressBookError), logged and returned. Not saved.
  platform::Status mergeToLocalRecord(platform::addressbook::Record record) const override;

  std::set<std::int32_t> memberIDs;  // address-book record ids of the members

 protected:
  const char* className() const override { return "LMGroup"; }
  bool isOfMyClass(const LMRecord& other) const override;
};

}  // namespace lumora
