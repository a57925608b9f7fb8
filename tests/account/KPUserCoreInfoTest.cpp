// Reading the core user information reply: its refusals, and which
// addresses become the phones, the e-mail and the secure ones.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "account/KPUserCoreInfo.h"
#include "account/QBLoginPassport.h"

namespace {

using lumora::KPUserCoreInfo;
using platform::Json;

Json address(const std::string& text, int verified, int type, int flags) {
  return Json{{"address", text}, {"verified", verified}, {"addressType", type}, {"flags", flags}};
}

Json reply(Json addresses) {
  return Json{{"code", 0},
              {"data",
               {{"userId", 123}, {"userName", "Ann"}, {"icon", "http://i/1.png"}, {"locale", "en_US"},
                {"region", "GB"}, {"userAddresses", std::move(addresses)}}}};
}

TEST(KPUserCoreInfo, RepliesThatCannotBeReadAreRefusedWithTheirReason) {
  const std::pair<Json, const char*> cases[] = {
      {Json("text"), "coreinfo result is not dictionary"},
      {Json::array({1}), "coreinfo result is not dictionary"},
      {Json{{"data", Json::object()}}, "code != 0"},
      {Json{{"code", 1}, {"data", Json::object()}}, "code != 0"},
      {Json{{"code", 0}}, "!data"},
      {Json{{"code", "0"}, {"data", "x"}}, "!data"},
  };
  auto parse = lumora::QBLoginPassport::getBlockToParseCoreInfo();
  for (const auto& [body, reason] : cases) {
    auto parsed = parse(body);
    ASSERT_FALSE(parsed) << body;
    const platform::Error& error = parsed.error();
    EXPECT_EQ(error.domain(), "QBPassportErrorDomain");
    EXPECT_EQ(error.code(), 10003);
    EXPECT_EQ(error.userInfo(), (Json{{"reason", reason}, {"description", ""}})) << body;
  }
}

TEST(KPUserCoreInfo, VerifiedAddressesMakeThePhonesAndEmails) {
  using Phones = std::vector<std::string>;
  using Text = std::optional<std::string>;
  struct Case {
    const char* what;
    Json addresses;
    Phones phones;
    Text securePhone;
    Text secureEmail;
    Text email;
  };
  const Case cases[] = {
      {"the flagged phone goes first",
       Json::array({address("P1", 1, 1, 0), address("P2", 1, 1, 2), address("E1", 1, 2, 0)}),
       {"P2", "P1"}, "P2", std::nullopt, "E1"},
      {"an unverified flagged e-mail changes nothing", Json::array({address("E1", 0, 2, 2)}), {}, std::nullopt,
       std::nullopt, std::nullopt},
      {"a verified flagged e-mail is the e-mail and the secure one", Json::array({address("E1", 1, 2, 3)}), {},
       std::nullopt, "E1", "E1"},
      // A flagged phone used to make an earlier unflagged e-mail the secure
      // one; only an e-mail entry's own flag does.
      {"a flagged phone says nothing of the e-mail", Json::array({address("E1", 1, 2, 0), address("P1", 1, 1, 2)}),
       {"P1"}, "P1", std::nullopt, "E1"},
      {"the last e-mail counts, the flagged one stays secure",
       Json::array({address("E1", 1, 2, 2), address("E2", 1, 2, 0)}), {}, std::nullopt, "E1", "E2"},
      {"entries without an address, or of other types, or no objects, are skipped",
       Json::array({address("", 1, 1, 2), address("X", 1, 3, 2), Json("P9"), Json{{"verified", 1}}}), {},
       std::nullopt, std::nullopt, std::nullopt},
      {"numbers given as texts are read", Json::array({Json{{"address", "P1"}, {"verified", "1"}, {"addressType", "1"}, {"flags", "6"}}}),
       {"P1"}, "P1", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto info = KPUserCoreInfo::parseReply(reply(c.addresses));
    ASSERT_TRUE(info) << c.what;
    EXPECT_EQ(info->phones(), c.phones) << c.what;
    EXPECT_EQ(info->securePhone(), c.securePhone) << c.what;
    EXPECT_EQ(info->secureEmail(), c.secureEmail) << c.what;
    EXPECT_EQ(info->email(), c.email) << c.what;
  }

  auto info = KPUserCoreInfo::parseReply(reply(Json::array()));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->userId(), "123");  // a number in decimal
  EXPECT_EQ(info->iconUrl(), "http://i/1.png");
}

}  // namespace
