#include "account/KPUserCoreInfo.h"

#include <algorithm>
#include <utility>

#include "account/KPNumberValues.h"
#include "account/QBPassport.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

platform::Error parseError(const char* reason) {
  return platform::Error(QBPassport::kErrorDomain, KPUserCoreInfo::kCodeBadReply,
                         platform::Json{{"reason", reason}, {"description", ""}});
}

// A text entry as it stands; a number in decimal; anything else absent.
KPUserCoreInfo::Text textAt(const platform::Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer() || it->is_number_unsigned()) return it->dump();
  return std::nullopt;
}

std::int64_t numberAt(const platform::Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? 0 : kpLongLongValue(*it);
}

}  // namespace

KPUserCoreInfo::KPUserCoreInfo(Text userId, Text userName, Text iconUrl, Text userLocale, Text userRegion,
                               Text securePhone, Text secureEmail, std::vector<std::string> phones, Text email)
    : userId_(std::move(userId)),
      userName_(std::move(userName)),
      iconUrl_(std::move(iconUrl)),
      userLocale_(std::move(userLocale)),
      userRegion_(std::move(userRegion)),
      securePhone_(std::move(securePhone)),
      secureEmail_(std::move(secureEmail)),
      phones_(std::move(phones)),
      email_(std::move(email)) {}

platform::Result<KPUserCoreInfo> KPUserCoreInfo::parseReply(const platform::Json& reply) {
  auto fail = [](const char* reason) -> platform::Result<KPUserCoreInfo> { return parseError(reason); };
  if (!reply.is_object()) return fail("coreinfo result is not dictionary");
  auto code = reply.find("code");
  if (code == reply.end() || kpLongLongValue(*code) != 0) return fail("code != 0");
  auto data = reply.find("data");
  if (data == reply.end() || !data->is_object()) return fail("!data");

  std::vector<std::string> phones;
  Text securePhone;
  Text secureEmail;
  Text email;
  auto addresses = data->find("userAddresses");
  if (addresses != data->end() && addresses->is_array()) {
    for (const auto& entry : *addresses) {
      if (!entry.is_object()) continue;
      auto address = platform::stringAt(entry, "address");
      if (!platform::hasText(address) || numberAt(entry, "verified") != 1) continue;
      std::int64_t type = numberAt(entry, "addressType");
      bool secure = (numberAt(entry, "flags") & kSecureAddressFlag) != 0;
      if (type == kAddressTypePhone) {
        phones.push_back(*address);
        if (secure) securePhone = address;
      } else if (type == kAddressTypeEmail) {
        email = address;
        // Only an e-mail entry that carries the flag itself is the secure
        // e-mail: a flagged phone says nothing about the e-mail addresses.
        if (secure) secureEmail = address;
      }
    }
  }
  if (securePhone) {
    phones.erase(std::remove(phones.begin(), phones.end(), *securePhone), phones.end());
    phones.insert(phones.begin(), *securePhone);
  }
  return KPUserCoreInfo(textAt(*data, "userId"), textAt(*data, "userName"), textAt(*data, "icon"),
                        textAt(*data, "locale"), textAt(*data, "region"), std::move(securePhone),
                        std::move(secureEmail), std::move(phones), std::move(email));
}

std::string KPUserCoreInfo::description() const {
  auto text = [](const Text& value) { return value.value_or("(null)"); };
  std::string list = "(";
  for (std::size_t i = 0; i < phones_.size(); ++i) list += (i > 0 ? ", " : "") + phones_[i];
  list += ")";
  return "userId:" + text(userId_) + ", userName:" + text(userName_) + ", iconUrl:" + text(iconUrl_) +
         ", local:" + text(userLocale_) + ", region:" + text(userRegion_) + ", securePhone:" +
         text(securePhone_) + ", secureEmail:" + text(secureEmail_) + ", phones:" + list +
         ", email:" + text(email_);
}

}  // namespace lumora
