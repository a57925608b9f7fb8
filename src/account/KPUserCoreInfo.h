// The signed-in user's core profile as the account service's user API
// reports it: user id, name, avatar URL, locale, region, the verified phone
// numbers (the secure one first), the secure phone and e-mail address, and
// the verified e-mail address.
//
// A plain immutable value; any thread. parseReply reports what it cannot
// read as a QBPassportErrorDomain 10003 error whose user info names the
// reason.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

class KPUserCoreInfo {
 public:
  using Text = std::optional<std::string>;

  static constexpr std::int64_t kCodeBadReply = 10003;
  // Address types and the flag bit of the account's secure address.
  static constexpr std::int64_t kAddressTypePhone = 1;
  static constexpr std::int64_t kAddressTypeEmail = 2;
  static constexpr std::int64_t kSecureAddressFlag = 2;

  KPUserCoreInfo(Text userId, Text userName, Text iconUrl, Text userLocale, Text userRegion,
                 Text securePhone, Text secureEmail, std::vector<std::string> phones, Text email);

  // A reply {"code": 0, "data": {...}}: the fields of "data" ("userId",
  // "userName", "icon", "locale", "region"; texts, numbers in decimal) and
  // its "userAddresses", of which only verified entries with an address
  // count: phones in order, the secure phone (flag bit 2 on a phone) moved
  // to the front, the secure e-mail (flag bit 2 on an e-mail entry), and the
  // last e-mail. An error for a reply that is no object ("coreinfo result is
  // not dictionary"), whose "code" is missing or not 0 ("code != 0"), or
  // without a "data" object ("!data").
  static platform::Result<KPUserCoreInfo> parseReply(const platform::Json& reply);

  const Text& userId() const { return userId_; }
  const Text& userName() const { return userName_; }
  const Text& iconUrl() const { return iconUrl_; }
  const Text& userLocale() const { return userLocale_; }
  const Text& userRegion() const { return userRegion_; }
  const Text& securePhone() const { return securePhone_; }
  const Text& secureEmail() const { return secureEmail_; }
  const std::vector<std::string>& phones() const { return phones_; }
  const Text& email() const { return email_; }

  // "userId:..., userName:..., iconUrl:..., local:..., region:...,
  // securePhone:..., secureEmail:..., phones:(...), email:..." with "(null)"
  // for an absent value.
  std::string description() const;

 private:
  Text userId_;
  Text userName_;
  Text iconUrl_;
  Text userLocale_;
  Text userRegion_;
  Text securePhone_;
  Text secureEmail_;
  std::vector<std::string> phones_;
  Text email_;
};

}  // namespace lumora
