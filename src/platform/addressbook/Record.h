// One record of an address book: a person, a group or a source (the
// ABRecordRef of the phone's framework). A Record is a cheap, copyable
// reference into the handle (AddressBook) it came from; a default-constructed
// Record is the null record. Two Records are equal when they refer to the same
// record of the same handle; looking a record up again after save() or
// revert() gives an equal Record.
//
// Reads show the handle's current view, unsaved edits included. Writes change
// only the handle until AddressBook::save(). A new record has the id
// kInvalidRecordId until the save that stores it assigns one (the Record then
// reports the new id).
//
// Failures are Errors in kErrorDomain: kOperationNotPermittedByUserError (1)
// without access, kOperationNotPermittedByStoreError (0) for a null record, a
// record of the wrong type or no longer in the address book, a read-only
// property, a value of the wrong type, or a member from another source.
//
// Threading: a Record may be used from any thread; calls are serialised by
// its handle's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/addressbook/MultiValue.h"
#include "platform/addressbook/PropertyValue.h"
#include "platform/addressbook/Types.h"

namespace platform::addressbook {

namespace detail {
struct Node;
class BookState;
}  // namespace detail

class Record {
 public:
  Record() = default;

  bool isNull() const { return node_ == nullptr; }
  explicit operator bool() const { return node_ != nullptr; }

  // ABRecordGetRecordID: kInvalidRecordId for the null record and for a
  // record not saved yet.
  RecordId id() const;
  // ABRecordGetRecordType: nullopt for the null record.
  std::optional<RecordType> type() const;
  bool isPerson() const { return type() == RecordType::Person; }
  bool isGroup() const { return type() == RecordType::Group; }
  bool isSource() const { return type() == RecordType::Source; }
  // False once removed from the handle (or dropped by a revert, or removed
  // through another handle and reloaded).
  bool isInAddressBook() const;

  // ABRecordCopyCompositeName. A person: prefix, first, middle and last name
  // and suffix joined by single spaces (first name first); without any of
  // them (or for the organization kind) the organization; then the
  // nickname; else nullopt. A group or source: its name.
  std::optional<std::string> compositeName() const;

  // The source a person or group lives in (ABPersonCopySource); null for a
  // source and the null record.
  Record source() const;

  // ---- persons ----
  // The value of a property, nullopt when the person has none (or this is
  // not a person).
  std::optional<PropertyValue> value(PersonProperty property) const;
  std::optional<std::string> stringValue(PersonProperty property) const;
  std::optional<Date> dateValue(PersonProperty property) const;
  std::optional<std::int32_t> integerValue(PersonProperty property) const;
  std::optional<MultiValue<std::string>> multiStringValue(PersonProperty property) const;
  std::optional<MultiValue<Date>> multiDateValue(PersonProperty property) const;
  std::optional<MultiValue<Dictionary>> multiDictionaryValue(PersonProperty property) const;

  // ABRecordSetValue: the value must have the property's type (Kind takes
  // PersonKind values). Setting an empty multi-value removes the property.
  // Setting the value the person already has changes nothing.
  Status setValue(PersonProperty property, PropertyValue value);
  // ABRecordRemoveValue: succeeds also when the person has no value.
  Status removeValue(PersonProperty property);

  // ABPersonHasImageData / ABPersonCopyImageDataWithFormat. The thumbnail is
  // made from the stored picture: turned upright, scaled to fill
  // kThumbnailSide x kThumbnailSide and encoded as JPEG; nullopt when the
  // stored data is not a picture that decodes, or has more pixels than a
  // picture from elsewhere may (platform::Image::kMaxPixels).
  static constexpr int kThumbnailSide = 320;
  bool hasImageData() const;
  std::optional<Bytes> imageData(ImageFormat format = ImageFormat::OriginalSize) const;
  // ABPersonSetImageData (empty data removes the image) / ABPersonRemoveImageData.
  Status setImageData(Bytes data);
  Status removeImageData();

  // ABPersonCopyArrayOfAllLinkedPeople: the people linked with this one
  // (across sources), this person included, in record-id order; just this
  // person when it is not linked. Empty for a non-person.
  std::vector<Record> linkedPeople() const;

  // ---- groups and sources ----
  // kABGroupNameProperty of a group, kABSourceNameProperty of a source.
  std::optional<std::string> name() const;
  // Renames a group (sources cannot be renamed).
  Status setName(std::string name);
  // kABSourceTypeProperty of a source.
  std::optional<SourceKind> sourceKind() const;

  // ABGroupCopyArrayOfAllMembers: in the order they were added.
  std::vector<Record> members() const;
  // ABGroupAddMember: the person must be in the group's source; adding a
  // member again changes nothing.
  Status addMember(const Record& person);
  // ABGroupRemoveMember: removing a non-member changes nothing.
  Status removeMember(const Record& person);

  friend bool operator==(const Record& a, const Record& b) { return a.node_ == b.node_; }

 private:
  friend class AddressBook;
  friend class detail::BookState;
  Record(std::shared_ptr<detail::BookState> book, std::shared_ptr<detail::Node> node)
      : book_(std::move(book)), node_(std::move(node)) {}

  std::shared_ptr<detail::BookState> book_;
  std::shared_ptr<detail::Node> node_;
};

}  // namespace platform::addressbook
