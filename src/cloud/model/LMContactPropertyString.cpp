// LMContact: the tables between the cloud's label words and the address
// book's label constants.
#include <span>
#include <utility>

#include "cloud/model/LMContact.h"
#include "platform/Bytes.h"
#include "platform/addressbook/Labels.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

using Row = std::pair<std::string_view, std::string_view>;  // cloud word, address-book label

constexpr Row kGenericLabels[] = {
    {"home", ab::kHomeLabel},
    {"work", ab::kWorkLabel},
    {"other", ab::kOtherLabel},
};

constexpr Row kPhoneLabels[] = {
    {"mobile", ab::kPersonPhoneMobileLabel},
    {"main", ab::kPersonPhoneMainLabel},
    {"faxHome", ab::kPersonPhoneHomeFAXLabel},
    {"faxWork", ab::kPersonPhoneWorkFAXLabel},
    {"pager", ab::kPersonPhonePagerLabel},
};

constexpr Row kIMServices[] = {
    {"yahoo", ab::kPersonInstantMessageServiceYahoo},
    {"jabber", ab::kPersonInstantMessageServiceJabber},
    {"windowsLive", ab::kPersonInstantMessageServiceMSN},
    {"icq", ab::kPersonInstantMessageServiceICQ},
    {"aim", ab::kPersonInstantMessageServiceAIM},
    {"qq", ab::kPersonInstantMessageServiceQQ},
    {"gTalk", ab::kPersonInstantMessageServiceGoogleTalk},
    {"skype", ab::kPersonInstantMessageServiceSkype},
    {"facebook", ab::kPersonInstantMessageServiceFacebook},
    {"gadugadu", ab::kPersonInstantMessageServiceGaduGadu},
};

constexpr Row kRelationLabels[] = {
    {"mother", ab::kPersonMotherLabel},
    {"father", ab::kPersonFatherLabel},
    {"parent", ab::kPersonParentLabel},
    {"sister", ab::kPersonSisterLabel},
    {"brother", ab::kPersonBrotherLabel},
    {"child", ab::kPersonChildLabel},
    {"friend", ab::kPersonFriendLabel},
    {"spouse", ab::kPersonSpouseLabel},
    {"partner", ab::kPersonPartnerLabel},
    {"manager", ab::kPersonManagerLabel},
    {"assistant", ab::kPersonAssistantLabel},
    {"other", ab::kOtherLabel},
};

std::optional<std::string> toLocal(std::string_view word,
                                   std::initializer_list<std::span<const Row>> tables) {
  if (word.empty()) return std::nullopt;
  for (std::span<const Row> table : tables) {
    for (const Row& row : table) {
      if (row.first == word) return std::string(row.second);
    }
  }
  return std::string(word);
}

std::optional<std::string> toLumora(const std::optional<std::string>& label,
                                    std::initializer_list<std::span<const Row>> tables) {
  if (!label) return std::nullopt;
  for (std::span<const Row> table : tables) {
    for (const Row& row : table) {
      if (platform::equalsIgnoringCase(row.second, *label)) return std::string(row.first);
    }
  }
  return *label;
}

}  // namespace

std::optional<std::string> LMContact::localNameFromLumora(std::string_view word) {
  return toLocal(word, {kGenericLabels});
}
std::optional<std::string> LMContact::lumoraNameFromLocal(const std::optional<std::string>& label) {
  return toLumora(label, {kGenericLabels});
}
std::optional<std::string> LMContact::localPhoneNameFromLumoraPhone(std::string_view word) {
  return toLocal(word, {kPhoneLabels, kGenericLabels});
}
std::optional<std::string> LMContact::lumoraPhoneNameFromLocalPhone(
    const std::optional<std::string>& label) {
  return toLumora(label, {kPhoneLabels, kGenericLabels});
}
std::optional<std::string> LMContact::localIMSNameFromLumoraIMS(std::string_view word) {
  return toLocal(word, {kIMServices});
}
std::optional<std::string> LMContact::lumoraIMSNameFromLocalIMS(
    const std::optional<std::string>& service) {
  return toLumora(service, {kIMServices});
}
std::optional<std::string> LMContact::localRelationNameFromLumoraRelation(std::string_view word) {
  return toLocal(word, {kRelationLabels});
}
std::optional<std::string> LMContact::lumoraRelationNameFromLocalRelation(
    const std::optional<std::string>& label) {
  return toLumora(label, {kRelationLabels});
}

}  // namespace lumora
