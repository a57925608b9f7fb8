// Basic types of the address book: record ids and kinds, dates, property ids
// with their value types, authorisation states and the error domain.
//
// Names follow the phone's address-book framework so that code written
// against it reads the same here:
//
//   ABRecordID / kABRecordInvalidID      -> RecordId / kInvalidRecordId
//   kABPersonType, kABGroupType, kABSourceType -> RecordType::Person, Group, Source
//   kABPersonFirstNameProperty           -> PersonProperty::FirstName
//   kABPersonLastNameProperty            -> PersonProperty::LastName
//   kABPersonMiddleNameProperty          -> PersonProperty::MiddleName
//   kABPersonPrefixProperty / Suffix     -> PersonProperty::Prefix / Suffix
//   kABPersonNicknameProperty            -> PersonProperty::Nickname
//   kABPerson{First,Last,Middle}NamePhoneticProperty -> PersonProperty::{First,Last,Middle}NamePhonetic
//   kABPersonOrganizationProperty        -> PersonProperty::Organization
//   kABPersonDepartmentProperty          -> PersonProperty::Department
//   kABPersonJobTitleProperty            -> PersonProperty::JobTitle
//   kABPersonNoteProperty                -> PersonProperty::Note
//   kABPersonBirthdayProperty            -> PersonProperty::Birthday
//   kABPersonCreationDateProperty        -> PersonProperty::CreationDate (read-only)
//   kABPersonModificationDateProperty    -> PersonProperty::ModificationDate (read-only)
//   kABPersonKindProperty                -> PersonProperty::Kind (PersonKind values)
//   kABPersonEmailProperty               -> PersonProperty::Email          (multi-value of strings)
//   kABPersonPhoneProperty               -> PersonProperty::Phone          (multi-value of strings)
//   kABPersonURLProperty                 -> PersonProperty::URL            (multi-value of strings)
//   kABPersonRelatedNamesProperty        -> PersonProperty::RelatedNames   (multi-value of strings)
//   kABPersonDateProperty                -> PersonProperty::Date           (multi-value of dates)
//   kABPersonAddressProperty             -> PersonProperty::Address        (multi-value of dictionaries)
//   kABPersonInstantMessageProperty      -> PersonProperty::InstantMessage (multi-value of dictionaries)
//   kABPersonSocialProfileProperty       -> PersonProperty::SocialProfile  (multi-value of dictionaries)
//   kABGroupNameProperty                 -> Record::name() / setName() of a group
//   kABSourceNameProperty / kABSourceTypeProperty -> Record::name() / sourceKind() of a source
//   kABPersonImageFormatThumbnail / OriginalSize -> ImageFormat::Thumbnail / OriginalSize
//   kABPersonSortByFirstName / LastName  -> SortOrdering::ByFirstName / ByLastName
//   ABAuthorizationStatus values         -> AuthorizationStatus
//   ABAddressBookErrorDomain, kABOperationNotPermittedByStoreError (0),
//   kABOperationNotPermittedByUserError (1) -> kErrorDomain, kOperationNotPermittedByStoreError,
//                                              kOperationNotPermittedByUserError
//
// Plain values only; nothing here touches the store, any thread may use them,
// and nothing fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace platform::addressbook {

using RecordId = std::int32_t;
inline constexpr RecordId kInvalidRecordId = -1;
// The device's own (local) source always carries this id.
inline constexpr RecordId kLocalSourceId = 0;

enum class RecordType { Person = 0, Group = 1, Source = 2 };

// A point in time with microsecond resolution. Not Clock::TimePoint: the
// address book stores a day without a year in the year 1604, which lies
// outside the range of the nanosecond system clock.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// The value of an address, instant-messaging or social-profile entry
// (keys such as kPersonAddressStreetKey, see Labels.h).
using Dictionary = std::map<std::string, std::string>;

enum class PersonProperty {
  // strings
  FirstName,
  LastName,
  MiddleName,
  Prefix,
  Suffix,
  Nickname,
  FirstNamePhonetic,
  LastNamePhonetic,
  MiddleNamePhonetic,
  Organization,
  Department,
  JobTitle,
  Note,
  // dates
  Birthday,
  CreationDate,
  ModificationDate,
  // integer
  Kind,
  // multi-values of strings
  Email,
  Phone,
  URL,
  RelatedNames,
  // multi-value of dates
  Date,
  // multi-values of dictionaries
  Address,
  InstantMessage,
  SocialProfile,
};

enum class PropertyType { String, Date, Integer, MultiString, MultiDate, MultiDictionary };

PropertyType propertyType(PersonProperty property);
// Stable name of the property ("FirstName", "Phone", ...), used in the store.
std::string_view propertyName(PersonProperty property);
// False for the dates the address book maintains itself.
bool isWritable(PersonProperty property);

enum class PersonKind : std::int32_t { Person = 0, Organization = 1 };

// Kinds of account a source belongs to (the values the platform uses).
enum class SourceKind : std::int32_t { Local = 0, Exchange = 1, MobileMe = 2, CardDAV = 4 };

enum class ImageFormat { Thumbnail = 0, OriginalSize = 2 };

enum class SortOrdering { ByFirstName = 0, ByLastName = 1 };

enum class AuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

inline constexpr const char* kErrorDomain = "ABAddressBookErrorDomain";
// The store does not allow the operation (wrong record, unsupported by the
// source, read-only property, store failure).
inline constexpr std::int64_t kOperationNotPermittedByStoreError = 0;
// The user has not granted access to the address book.
inline constexpr std::int64_t kOperationNotPermittedByUserError = 1;

}  // namespace platform::addressbook
