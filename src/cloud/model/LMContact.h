// One contact on either side of the sync: the base record plus every field
// the client keeps, read from and written to the cloud's JSON form, compared
// with another version of itself and merged with it.
//
// A plain value used from one thread at a time. Reading never fails on a
// value of the wrong type: such a key is left in extensionData and goes back
// to the cloud unchanged.
//
// Lists (emailArray and the others) are JSON arrays of item dictionaries
// {"type": label word, "value": ...}; null stands for no list. Dates are cloud
// date texts ("yyyy-MM-dd", or "--MM-dd" without a year).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <string_view>

#include "cloud/model/LMRecord.h"
#include "platform/dispatch/Clock.h"
#include "platform/addressbook/Record.h"

namespace lumora {

class LMContactRelation;

class LMContact : public LMRecord {
 public:
  // The base reader, then setPropertiesWithLumoraJSON with what it left.
  static std::optional<LMContact> initWithLumoraJSON(const platform::Json& content);
  // Fills the fields from a cloud content object without the base keys and
  // replaces extensionData with the keys it did not consume.
  void setPropertiesWithLumoraJSON(const platform::Json& content);
  // The reader's name rule: a middle name joins the given name when neither
  // it, the given name nor the family name has Latin letters.
  static bool joinsMiddleNameIntoGivenName(const std::optional<std::string>& family,
                                           const std::string& middle, const std::string& given);
  // This contact as reading its cloud content gives it back (the name rule
  // applied), for comparing a person with a cloud or recorded copy.
  LMContact withCloudNameRule() const;

  // A contact of type 1 read from an address-book person (every field but
  // the photo ids and the cloud fields; the seven lists are arrays, empty
  // when the person has no such entry). nullopt for the null record, one
  // without a valid id, or a record that is not a person.
  static std::optional<LMContact> initWithABRecord(const platform::addressbook::Record& record);
  // Fills the fields from a person; does nothing unless type is 1.
  void setPropertiesWithABRecord(const platform::addressbook::Record& person);

  // The envelope {"type": "contact", "content": {...}}.
  platform::Json dictionaryForLumoraJSON() const override;

  // ---- Writing into the address book ----

  // Makes the person's names, organisation, note, birthday and labelled
  // lists equal to this contact's, field by field in a fixed order: a field
  // the contact lacks is removed, a list replaces the person's whole list.
  // Image, groups and other properties stay. The first error of the address
  // book stops it: converted, logged and returned (the fields written before
  // stay in the person). Success also for a record that is not a
  // person. The address book is not saved.
  platform::Status mergeToLocalRecord(platform::addressbook::Record record) const override;
  // Copies the sync state the record store keeps for a paired contact (cloud
  // id, version, photo ids, photo digest, photo-failure flag) from its row.
  void loadSyncInfoWithRelation(const LMContactRelation& relation);

  // Stores the cloud's photo entries and takes photoId and thumbnailId from
  // the first entries typed "photo" and "thumbnail" (unset when absent).
  void setPhotoArray(platform::Json photoArray);
  const platform::Json& photoArray() const { return photoArray_; }

  // ---- Label words ----
  //
  // Cloud label words <-> the address book's label constants. Cloud to
  // address book: nullopt for an empty word; words compare exactly. Address
  // book to cloud: nullopt for no label; labels compare ignoring case. A word
  // or label in no table passes through unchanged (a custom label).

  // Generic labels (e-mails, addresses, dates): home, work, other.
  static std::optional<std::string> localNameFromLumora(std::string_view word);
  static std::optional<std::string> lumoraNameFromLocal(const std::optional<std::string>& label);
  // Phone labels (mobile, main, faxHome, faxWork, pager), then the generic ones.
  static std::optional<std::string> localPhoneNameFromLumoraPhone(std::string_view word);
  static std::optional<std::string> lumoraPhoneNameFromLocalPhone(const std::optional<std::string>& label);
  // Instant-messaging services (yahoo, jabber, windowsLive, icq, aim, qq,
  // gTalk, skype, facebook, gadugadu).
  static std::optional<std::string> localIMSNameFromLumoraIMS(std::string_view word);
  static std::optional<std::string> lumoraIMSNameFromLocalIMS(const std::optional<std::string>& service);
  // Related-name labels (mother, father, ... assistant, other).
  static std::optional<std::string> localRelationNameFromLumoraRelation(std::string_view word);
  static std::optional<std::string> lumoraRelationNameFromLocalRelation(
      const std::optional<std::string>& label);

  // ---- Tests used by the comparison ----

  // A family, middle or given name, prefix or suffix is non-empty.
  bool isNameValid() const;
  // isNameValid, or a company, job title or nickname, or a phone or e-mail.
  bool isValid() const;
  // One property of two contacts: true when both are set and differ; when
  // only the first (second) is set, marks firstContain (secondContain) and
  // answers the other flag. Callers run it over several properties with the
  // same two flags, both false at the start.
  static bool hasSinglePropertyConflict(const std::optional<std::string>& first,
                                        const std::optional<std::string>& second,
                                        bool& firstContain, bool& secondContain);

  // ---- Comparison ----

  // Same data: names, texts and every list (each with its own rule), and the
  // same photo. `other` must be an LMContact; anything else is not equal.
  bool isEqualToRecord(const LMRecord* other) const override;
  // True when the two contacts must stay two people; nullptr gives true.
  bool hasConflictWithContact(const LMContact* other) const;
  // With another LMContact (exactly that class): both end with the other's
  // birthday, nickname, company, job title and note where it has one (else
  // this one's), and with the union of every list. Anything else: no change.
  void mergeWithRecord(LMRecord* other) override;

  // ---- Fields ----

  std::optional<std::string> photoId;      // from photoArray
  std::optional<std::string> thumbnailId;  // from photoArray
  bool hasPhoto = false;
  std::optional<platform::Clock::TimePoint> modificationTime;
  std::optional<platform::Clock::TimePoint> creationTime;
  bool isPhotoDownloadFail = false;
  std::optional<std::string> photoDigest;

  std::optional<std::string> familyName;
  std::optional<std::string> givenName;
  std::optional<std::string> middleName;
  std::optional<std::string> prefix;
  std::optional<std::string> suffix;
  std::optional<std::string> phoneticFamilyName;
  std::optional<std::string> phoneticGivenName;
  std::optional<std::string> phoneticMiddleName;
  std::optional<std::string> birthday;
  std::optional<std::string> nickName;
  std::optional<std::string> company;
  std::optional<std::string> jobTitle;
  std::optional<std::string> note;

  platform::Json emailArray;
  platform::Json addressArray;      // {"type", "streetAddress", "locality", "region", "postalCode", "country"}
  platform::Json dateArray;         // other dates, with the "lunar" entry
  platform::Json phoneNumberArray;
  platform::Json urlArray;
  platform::Json imsArray;          // with SIP addresses typed "sip"
  platform::Json relationsArray;
  std::set<std::int64_t> groupIDs;  // cloud ids of the contact's groups

 protected:
  const char* className() const override { return "LMContact"; }
  bool isOfMyClass(const LMRecord& other) const override;

 private:
  platform::Json photoArray_;
};

}  // namespace lumora
