// Base of the records that the contacts sync moves between the address book
// and the cloud: the display name, where the record was read from, its
// address-book record id, its cloud id, version tag and status, and the
// cloud keys this client does not model (kept and sent back unchanged).
//
// Records are plain values (copyable; subclasses add fields), made per use
// and used from one thread at a time; they hold no reference to the address
// book. Reading never fails on a value of the wrong type: such a value is
// left in extensionData. Writing into the address book reports its error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/addressbook/Record.h"

namespace lumora {

// Where a record was read from (LMRecord::type).
inline constexpr std::int32_t kLMRecordTypeLocal = 1;   // the address book
inline constexpr std::int32_t kLMRecordTypeLumora = 2;  // the cloud

// Keys of the cloud's record envelope and of the content common to all records.
inline constexpr const char* kLMRecordTypeKey = "type";        // "group" or "contact"
inline constexpr const char* kLMRecordContentKey = "content";  // the record itself
inline constexpr const char* kLMRecordIDKey = "id";
inline constexpr const char* kLMRecordTagKey = "tag";
inline constexpr const char* kLMRecordStatusKey = "status";

// Cloud statuses the store and the sync look for.
inline constexpr const char* kLMRecordStatusCustom = "custom";    // a live record
inline constexpr const char* kLMRecordStatusDeleted = "deleted";  // removed in the cloud

class LMRecord {
 public:
  LMRecord() = default;
  virtual ~LMRecord() = default;
  LMRecord(const LMRecord&) = default;
  LMRecord& operator=(const LMRecord&) = default;
  LMRecord(LMRecord&&) = default;
  LMRecord& operator=(LMRecord&&) = default;

  // A record of type 2 from the "content" object of one cloud record;
  // nullopt when `content` is not an object with at least one key. Consumes
  // "id" and "tag" (when cloudIntegerOf reads them) and "status" (a
  // non-empty string); the rest becomes extensionData.
  static std::optional<LMRecord> initWithLumoraJSON(const platform::Json& content);

  // A record of type 1 from an address-book record: its record id and its
  // composite name (a group's name, a person's full name; may be unset).
  // nullopt for the null record and for one without a valid id (not saved).
  static std::optional<LMRecord> initWithABRecord(const platform::addressbook::Record& record);

  // A cloud id, tag or group id: a JSON number whose value is a whole number
  // that fits 64 bits (12 and 12.0 alike); nullopt for anything else (a
  // fraction, a larger number, text, a boolean).
  static std::optional<std::int64_t> cloudIntegerOf(const platform::Json& value);

  // "<class> name:<name> recordID:<id> serverID:<id>", "(null)" for missing.
  virtual std::string description() const;

  // A new envelope {"content": {...}} holding "id" and "tag" when set and,
  // unless shouldIgnoreExtensionData, every extensionData entry (which
  // replaces an "id" or "tag" of the same key). Subclasses add "type" and
  // their own keys, which replace extension entries of the same key.
  virtual platform::Json dictionaryForLumoraJSON() const;

  // Writes the record into an address-book record of its kind (the caller
  // saves the address book); the address book's error, converted to a local
  // error and logged, or success. The base writes nothing.
  virtual platform::Status mergeToLocalRecord(platform::addressbook::Record record) const;

  // Takes the other record's name when it has one; nullptr does nothing.
  // (LMContact changes both records; see there.)
  virtual void mergeWithRecord(LMRecord* other);

  // True when `other` is non-null, of this record's class or a subclass of
  // it, and the names are equal under LMUtils::isString (missing and empty
  // names are equal).
  virtual bool isEqualToRecord(const LMRecord* other) const;

  std::optional<std::string> name;           // group title, contact display name
  std::int32_t type = 0;                     // kLMRecordTypeLocal / kLMRecordTypeLumora
  std::optional<std::int64_t> serverID;      // cloud "id"
  std::optional<std::int64_t> sync;          // cloud "tag" (version)
  std::optional<std::string> status;         // cloud "status"
  std::optional<std::int32_t> recordID;      // address-book record id
  platform::Json extensionData;              // object of unconsumed cloud keys, or null
  bool shouldIgnoreExtensionData = false;    // leave extensionData out of the JSON

 protected:
  // The base reader over this record; false (record untouched) when
  // `content` is not an object with at least one key.
  bool readLumoraJSON(const platform::Json& content);
  // The base reader of an address-book record; false (record untouched) for
  // the null record or one without a valid id.
  bool readABRecord(const platform::addressbook::Record& record);
  virtual const char* className() const { return "LMRecord"; }
  // Whether `other` is of this record's class or a subclass of it.
  virtual bool isOfMyClass(const LMRecord& /*other*/) const { return true; }
};

}  // namespace lumora
