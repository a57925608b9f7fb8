// What log lines show of secrets: names that look like secrets hidden at
// any depth, links without their queries, temporary links without their
// last segment, and text that never throws.
#include <gtest/gtest.h>

#include <string>

#include "utils/LMLogRedaction.h"

namespace {

using platform::Json;

TEST(LogRedaction, UrlsLoseQueryAndFragmentAndSecretNamedValuesAreHidden) {
  EXPECT_EQ(lumora::LMLoggableURL("https://h/cb#access_token=t&expires_in=1"), "https://h/cb");
  EXPECT_EQ(lumora::LMLoggableURL("https://h/p?signature=s&x=1"), "https://h/p");
  EXPECT_EQ(lumora::LMLoggableURL("https://h/p"), "https://h/p");

  using platform::Json;
  Json reply{{"code", 0},
             {"data",
              {{"list", Json::array({{{"serviceToken", "t"}, {"name", "n"}}})},
               {"ssecurity", "k"},
               {"fileKey", {{"nested", 1}}},
               {"_sign", "s"},
               {"Cookie", "c"},
               {"url", "HTTPS://files.example/f?token=t"}}}};
  Json expected{{"code", 0},
                {"data",
                 {{"list", Json::array({{{"serviceToken", "(hidden)"}, {"name", "n"}}})},
                  {"ssecurity", "(hidden)"},
                  {"fileKey", "(hidden)"},
                  {"_sign", "(hidden)"},
                  {"Cookie", "(hidden)"},
                  {"url", "HTTPS://files.example/f"}}}};
  EXPECT_EQ(lumora::LMLoggableJSON(reply), expected);
}

TEST(LogRedaction, EachFieldOfTheCloudsRepliesThatCarriesASecretIsHidden) {
  // The names of the account, push, storage, statistics and crash
  // services' requests and replies.
  struct Case {
    const char* name;
    bool hidden;
  };
  const Case cases[] = {
      {"passToken", true},   {"serviceToken", true}, {"ssecurity", true},         {"psecurity", true},
      {"casecurity", true},  {"token", true},        {"regsecret", true},         {"KoSDKAppSecretIOS", true},
      {"apptoken", true},    {"app_key", true},      {"api_key", true},           {"devicetoken", true},
      {"secure_key", true},  {"ckey", true},         {"_sign", true},             {"signature", true},
      {"clientSign", true},  {"_caSign", true},      {"Cookie", true},            {"ticket", true},
      {"pwd", true},         {"password", true},     {"hash", true},              {"Authorization", true},
      {"credentials", true}, {"beta_token", true},   {"passport_ca_token", true}, {"X-Blackbox-Beta-Token", true},
      {"userId", false},     {"cUserId", false},     {"regid", false},            {"regat", false},
      {"nonce", false},      {"code", false},        {"result", false},           {"description", false},
      {"passInfo", false},   {"session_id", false},  {"icon_hash", false},        {"fileSha1", false},
  };
  for (const auto& c : cases) {
    const Json shown = lumora::LMLoggableJSON(Json{{"data", {{c.name, "v4lue"}}}});
    EXPECT_EQ(shown["data"][c.name], c.hidden ? Json("(hidden)") : Json("v4lue")) << c.name;
  }
}

TEST(LogRedaction, LinksLoseWhatCarriesTheirSecrets) {
  const std::pair<const char*, const char*> strings[] = {
      {"/auth/verifyPhone?t=ticket", "/auth/verifyPhone"},
      {"/pass/notification#t=ticket", "/pass/notification"},
      {"http://127.0.0.1:8765/sts?nonce=1&clientSign=s", "http://127.0.0.1:8765/sts"},
      {"what? a plain text", "what? a plain text"},
      {"ok", "ok"},
  };
  for (const auto& [given, shown] : strings) {
    EXPECT_EQ(lumora::LMLoggableJSON(Json{{"location", given}}), (Json{{"location", shown}})) << given;
  }
  EXPECT_EQ(lumora::LMLoggableLink("https://files.example/tmp/AbC123?e=1#x"), "https://files.example/tmp/(hidden)");
  EXPECT_EQ(lumora::LMLoggableLink("https://files.example"), "https://files.example");
}

// One line that a terminal shows as it is: invalid UTF-8 replaced, the C1
// and bidirectional controls of a name as JSON escapes.
TEST(LogRedaction, TextIsOnePrintableLineAndInvalidUtf8NeverThrows) {
  const Json push{{"ssecurity", "k"},
                  {"userId", 1},
                  {"name", std::string("a\xff")},
                  {"file", "rtl\xE2\x80\xAEgpj.exe.JPG\xC2\x9B"}};
  std::string text;
  EXPECT_NO_THROW(text = lumora::LMLoggableJSONText(push));
  EXPECT_EQ(text,
            "{\"file\":\"rtl\\u202egpj.exe.JPG\\u009b\",\"name\":\"a\xef\xbf\xbd\",\"ssecurity\":\"(hidden)\","
            "\"userId\":1}");
}

}  // namespace
