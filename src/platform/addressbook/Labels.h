// Label constants of multi-value entries, instant-messaging and social
// services, and the keys of address, instant-messaging and social-profile
// dictionaries, with the same texts as on the phone (kABHomeLabel ->
// kHomeLabel, kABPersonPhoneMobileLabel -> kPersonPhoneMobileLabel, ...).
// localizedLabel() gives a label's display text (English), like
// ABAddressBookCopyLocalizedLabel. Stateless; safe from any thread; nothing
// fails.
#pragma once

#include <string>
#include <string_view>

namespace platform::addressbook {

// Generic labels.
inline constexpr std::string_view kHomeLabel = "_$!<Home>!$_";
inline constexpr std::string_view kWorkLabel = "_$!<Work>!$_";
inline constexpr std::string_view kOtherLabel = "_$!<Other>!$_";

// Phone labels.
inline constexpr std::string_view kPersonPhoneMobileLabel = "_$!<Mobile>!$_";
inline constexpr std::string_view kPersonPhoneIPhoneLabel = "iPhone";
inline constexpr std::string_view kPersonPhoneMainLabel = "_$!<Main>!$_";
inline constexpr std::string_view kPersonPhoneHomeFAXLabel = "_$!<HomeFAX>!$_";
inline constexpr std::string_view kPersonPhoneWorkFAXLabel = "_$!<WorkFAX>!$_";
inline constexpr std::string_view kPersonPhoneOtherFAXLabel = "_$!<OtherFAX>!$_";
inline constexpr std::string_view kPersonPhonePagerLabel = "_$!<Pager>!$_";

// URL and date labels.
inline constexpr std::string_view kPersonHomePageLabel = "_$!<HomePage>!$_";
inline constexpr std::string_view kPersonAnniversaryLabel = "_$!<Anniversary>!$_";

// Related-name labels.
inline constexpr std::string_view kPersonFatherLabel = "_$!<Father>!$_";
inline constexpr std::string_view kPersonMotherLabel = "_$!<Mother>!$_";
inline constexpr std::string_view kPersonParentLabel = "_$!<Parent>!$_";
inline constexpr std::string_view kPersonBrotherLabel = "_$!<Brother>!$_";
inline constexpr std::string_view kPersonSisterLabel = "_$!<Sister>!$_";
inline constexpr std::string_view kPersonChildLabel = "_$!<Child>!$_";
inline constexpr std::string_view kPersonFriendLabel = "_$!<Friend>!$_";
inline constexpr std::string_view kPersonSpouseLabel = "_$!<Spouse>!$_";
inline constexpr std::string_view kPersonPartnerLabel = "_$!<Partner>!$_";
inline constexpr std::string_view kPersonAssistantLabel = "_$!<Assistant>!$_";
inline constexpr std::string_view kPersonManagerLabel = "_$!<Manager>!$_";

// Address dictionary keys.
inline constexpr std::string_view kPersonAddressStreetKey = "Street";
inline constexpr std::string_view kPersonAddressCityKey = "City";
inline constexpr std::string_view kPersonAddressStateKey = "State";
inline constexpr std::string_view kPersonAddressZIPKey = "ZIP";
inline constexpr std::string_view kPersonAddressCountryKey = "Country";
inline constexpr std::string_view kPersonAddressCountryCodeKey = "CountryCode";

// Instant-messaging dictionary keys and services.
inline constexpr std::string_view kPersonInstantMessageServiceKey = "service";
inline constexpr std::string_view kPersonInstantMessageUsernameKey = "username";
inline constexpr std::string_view kPersonInstantMessageServiceYahoo = "Yahoo";
inline constexpr std::string_view kPersonInstantMessageServiceJabber = "Jabber";
inline constexpr std::string_view kPersonInstantMessageServiceMSN = "MSN";
inline constexpr std::string_view kPersonInstantMessageServiceICQ = "ICQ";
inline constexpr std::string_view kPersonInstantMessageServiceAIM = "AIM";
inline constexpr std::string_view kPersonInstantMessageServiceQQ = "QQ";
inline constexpr std::string_view kPersonInstantMessageServiceGoogleTalk = "GoogleTalk";
inline constexpr std::string_view kPersonInstantMessageServiceSkype = "Skype";
inline constexpr std::string_view kPersonInstantMessageServiceFacebook = "Facebook";
inline constexpr std::string_view kPersonInstantMessageServiceGaduGadu = "GaduGadu";

// Social-profile dictionary keys and services.
inline constexpr std::string_view kPersonSocialProfileURLKey = "url";
inline constexpr std::string_view kPersonSocialProfileServiceKey = "service";
inline constexpr std::string_view kPersonSocialProfileUsernameKey = "username";
inline constexpr std::string_view kPersonSocialProfileUserIdentifierKey = "identifier";
inline constexpr std::string_view kPersonSocialProfileServiceSinaWeibo = "sinaweibo";
inline constexpr std::string_view kPersonSocialProfileServiceFacebook = "facebook";
inline constexpr std::string_view kPersonSocialProfileServiceLinkedIn = "linkedin";

// The display text of a label: the English word of a known label
// ("_$!<HomeFAX>!$_" -> "home fax", "iPhone" -> "iPhone"), the bare word of
// an unknown "_$!<...>!$_" label, and a custom label unchanged.
std::string localizedLabel(std::string_view label);

}  // namespace platform::addressbook
