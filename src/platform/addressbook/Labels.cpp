#include "platform/addressbook/Labels.h"

#include <array>
#include <utility>

namespace platform::addressbook {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 23> kLocalized{{
    {kHomeLabel, "home"},
    {kWorkLabel, "work"},
    {kOtherLabel, "other"},
    {kPersonPhoneMobileLabel, "mobile"},
    {kPersonPhoneMainLabel, "main"},
    {kPersonPhoneHomeFAXLabel, "home fax"},
    {kPersonPhoneWorkFAXLabel, "work fax"},
    {kPersonPhoneOtherFAXLabel, "other fax"},
    {kPersonPhonePagerLabel, "pager"},
    {kPersonHomePageLabel, "homepage"},
    {kPersonAnniversaryLabel, "anniversary"},
    {kPersonFatherLabel, "father"},
    {kPersonMotherLabel, "mother"},
    {kPersonParentLabel, "parent"},
    {kPersonBrotherLabel, "brother"},
    {kPersonSisterLabel, "sister"},
    {kPersonChildLabel, "child"},
    {kPersonFriendLabel, "friend"},
    {kPersonSpouseLabel, "spouse"},
    {kPersonPartnerLabel, "partner"},
    {kPersonAssistantLabel, "assistant"},
    {kPersonManagerLabel, "manager"},
    {kPersonPhoneIPhoneLabel, "iPhone"},
}};

constexpr std::string_view kWrapOpen = "_$!<";
constexpr std::string_view kWrapClose = ">!$_";

}  // namespace

std::string localizedLabel(std::string_view label) {
  for (const auto& [constant, text] : kLocalized) {
    if (constant == label) return std::string(text);
  }
  if (label.size() > kWrapOpen.size() + kWrapClose.size() && label.starts_with(kWrapOpen) &&
      label.ends_with(kWrapClose)) {
    return std::string(label.substr(kWrapOpen.size(), label.size() - kWrapOpen.size() - kWrapClose.size()));
  }
  return std::string(label);
}

}  // namespace platform::addressbook
