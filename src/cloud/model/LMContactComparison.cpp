// LMContact: validity, equality, conflict and merging of two versions.
#include <typeinfo>

#include "cloud/model/LMContact.h"
#include "utils/LMUtils.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

using platform::Json;
using platform::hasText;

// Outcome of comparing one list of two contacts in the conflict test.
enum class ListOutcome { kUndecided, kSame, kDifferent };

// The shared scheme of the phone and e-mail steps. Sets `answer` when the
// conflict test ends here.
template <class Equal, class Contains>
ListOutcome compareLists(const Json& mine, const Json& theirs, bool& firstContain,
                         bool& secondContain, std::optional<bool>& answer, Equal equal,
                         Contains contains) {
  const bool mineSet = platform::isNonEmptyArray(mine);
  const bool theirsSet = platform::isNonEmptyArray(theirs);
  if (mineSet && !theirsSet) {
    firstContain = true;
    if (secondContain) answer = true;
    return ListOutcome::kSame;
  }
  if (theirsSet && !mineSet) {
    secondContain = true;
    if (firstContain) answer = true;
    return ListOutcome::kSame;
  }
  if (equal(mine, theirs)) {
    if (mineSet && theirsSet) answer = false;
    return ListOutcome::kUndecided;
  }
  if (contains(mine, theirs)) {
    answer = false;
    return ListOutcome::kUndecided;
  }
  return ListOutcome::kDifferent;
}

// Photo identity: the same photo id, or, when only one side has a photo id,
// the other side's thumbnail id naming the same file.
bool isSamePhoto(const LMContact& a, const LMContact& b) {
  if (LMUtils::isString(a.photoId, b.photoId)) {
    if (hasText(a.photoId)) return true;
    return LMUtils::isString(a.thumbnailId, b.thumbnailId);
  }
  if (hasText(a.photoId) && !hasText(b.photoId)) return b.thumbnailId == a.photoId;
  if (hasText(a.photoId) && hasText(b.photoId)) return false;
  return a.thumbnailId == b.photoId;
}

}  // namespace

bool LMContact::isNameValid() const {
  return hasText(familyName) || hasText(middleName) || hasText(givenName) || hasText(prefix) ||
         hasText(suffix);
}

bool LMContact::isValid() const {
  return isNameValid() || hasText(company) || hasText(jobTitle) || hasText(nickName) ||
         platform::isNonEmptyArray(phoneNumberArray) || platform::isNonEmptyArray(emailArray);
}

bool LMContact::hasSinglePropertyConflict(const std::optional<std::string>& first,
                                          const std::optional<std::string>& second,
                                          bool& firstContain, bool& secondContain) {
  if (LMUtils::isString(first, second)) return false;
  if (hasText(first) && hasText(second)) return true;
  if (hasText(first)) {
    firstContain = true;
    return secondContain;
  }
  secondContain = true;
  return firstContain;
}

bool LMContact::isEqualToRecord(const LMRecord* other) const {
  const auto* contact = dynamic_cast<const LMContact*>(other);
  if (contact == nullptr) return false;
  const LMContact& o = *contact;
  const std::optional<std::string> LMContact::*texts[] = {
      &LMContact::familyName, &LMContact::phoneticFamilyName, &LMContact::middleName,
      &LMContact::phoneticMiddleName, &LMContact::givenName, &LMContact::phoneticGivenName,
      &LMContact::prefix, &LMContact::suffix, &LMContact::birthday, &LMContact::nickName,
      &LMContact::company, &LMContact::jobTitle, &LMContact::note};
  for (auto field : texts) {
    if (!LMUtils::isString(this->*field, o.*field)) return false;
  }
  if (!LMUtils::isEmailDictionaryArray(emailArray, o.emailArray, {"primary"})) return false;
  if (!LMUtils::isAddressDictionaryArray(addressArray, o.addressArray)) return false;
  if (!LMUtils::isDictionaryArray(dateArray, o.dateArray)) return false;
  if (!LMUtils::isPhoneNumberArrayEqualToArray(phoneNumberArray, o.phoneNumberArray)) return false;
  if (!LMUtils::isDictionaryArray(urlArray, o.urlArray)) return false;
  if (!LMUtils::isDictionaryArray(imsArray, o.imsArray)) return false;
  if (!LMUtils::isDictionaryArray(relationsArray, o.relationsArray)) return false;
  return isSamePhoto(*this, o);
}

bool LMContact::hasConflictWithContact(const LMContact* other) const {
  if (other == nullptr || !isValid() || !other->isValid()) return true;
  const LMContact& o = *other;
  const bool nameValid = isNameValid();
  if (nameValid != o.isNameValid()) return true;
  if (nameValid && !LMUtils::isString(name, o.name)) {
    const std::optional<std::string> LMContact::*parts[] = {
        &LMContact::familyName, &LMContact::phoneticFamilyName, &LMContact::middleName,
        &LMContact::phoneticMiddleName, &LMContact::givenName, &LMContact::phoneticGivenName,
        &LMContact::prefix, &LMContact::suffix};
    for (auto part : parts) {
      if (!LMUtils::isString(this->*part, o.*part)) return true;
    }
  }
  if (!LMUtils::isString(company, o.company)) return true;
  if (!LMUtils::isString(jobTitle, o.jobTitle)) return true;

  bool firstContain = false;
  bool secondContain = false;
  if (hasSinglePropertyConflict(birthday, o.birthday, firstContain, secondContain)) return true;
  if (hasSinglePropertyConflict(nickName, o.nickName, firstContain, secondContain)) return true;
  if (hasSinglePropertyConflict(note, o.note, firstContain, secondContain)) return true;

  std::optional<bool> answer;
  const ListOutcome phones = compareLists(
      phoneNumberArray, o.phoneNumberArray, firstContain, secondContain, answer,
      LMUtils::isPhoneNumberArrayEqualToArray, LMUtils::isPhoneNumberArrayContainWithArray);
  if (answer) return *answer;
  const ListOutcome emails = compareLists(
      emailArray, o.emailArray, firstContain, secondContain, answer,
      LMUtils::isDictionaryValueArrayEqualToArray, LMUtils::isDictionaryValueArrayContainWithArray);
  if (answer) return *answer;

  const bool phonesDecided = phones != ListOutcome::kUndecided;
  const bool emailsDecided = emails != ListOutcome::kUndecided;
  if (phonesDecided && emailsDecided) {
    return phones == ListOutcome::kDifferent && emails == ListOutcome::kDifferent;
  }
  if (phonesDecided) return phones == ListOutcome::kDifferent;
  if (emailsDecided) return emails == ListOutcome::kDifferent;
  return false;
}

void LMContact::mergeWithRecord(LMRecord* other) {
  if (other == nullptr || typeid(*other) != typeid(LMContact)) return;
  auto& o = static_cast<LMContact&>(*other);
  std::optional<std::string> LMContact::*texts[] = {&LMContact::birthday, &LMContact::nickName,
                                                    &LMContact::company, &LMContact::jobTitle,
                                                    &LMContact::note};
  for (auto field : texts) {
    if (o.*field) this->*field = o.*field;
    o.*field = this->*field;
  }
  struct ListMerge {
    Json LMContact::*field;
    Json (*merge)(const Json&, const Json&);
  };
  const ListMerge lists[] = {
      {&LMContact::emailArray, LMUtils::mergeDictionaryValueArray},
      {&LMContact::addressArray, LMUtils::mergeAddressDictionaryArray},
      {&LMContact::dateArray, LMUtils::mergeDictionaryArray},
      {&LMContact::phoneNumberArray, LMUtils::mergePhoneNumberArray},
      {&LMContact::urlArray, LMUtils::mergeDictionaryValueArray},
      {&LMContact::imsArray, LMUtils::mergeDictionaryValueArray},
      {&LMContact::relationsArray, LMUtils::mergeDictionaryValueArray},
  };
  for (const ListMerge& list : lists) {
    this->*list.field = list.merge(this->*list.field, o.*list.field);
    o.*list.field = this->*list.field;
  }
}

}  // namespace lumora
