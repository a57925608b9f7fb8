#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "cloud/request/LMJsonResponseSerialization.h"
#include "utils/AESCrypt.h"
#include "utils/LMAESCoder.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "platform/JsonParse.h"

namespace {

using namespace lumora;
using platform::Bytes;
using platform::Error;
using platform::Json;
using platform::http::HeaderFields;
using platform::http::Response;

const std::string kSecurityKey = base64Encoding(platform::toBytes("0123456789abcdef"));

Response reply(int status, const std::string& type = "application/json") {
  HeaderFields headers;
  if (!type.empty()) headers.set("Content-Type", type);
  return Response("http://127.0.0.1/lum/x", status, headers);
}

Bytes encrypted(const std::string& text) {
  return platform::toBytes(*LMAESCoder(kSecurityKey).encryptString(text));
}

struct Decoded {
  std::optional<Json> object;
  std::optional<Error> error;
};

Decoded decode(const Response& response, const Bytes& body,
               std::optional<std::string> key = kSecurityKey) {
  LMJsonResponseSerialization serializer;
  LMDecodedReply reply = serializer.responseObjectForResponse(response, body, key);
  Decoded out{reply.object, std::nullopt};
  if (!reply.status.ok()) out.error = reply.status.error();
  return out;
}

TEST(LMJsonResponseSerialization, DecryptsRepliesAndTurnsCodesIntoServerErrors) {
  auto ok = decode(reply(200), encrypted(R"({"code":0,"data":{"a":1}})"));
  EXPECT_FALSE(ok.error);
  ASSERT_TRUE(ok.object);
  EXPECT_EQ((*ok.object)["data"]["a"], 1);

  auto failed = decode(reply(200), encrypted(R"({"code":10008,"description":"x"})"));
  ASSERT_TRUE(failed.error);
  EXPECT_EQ(failed.error->domain(), kLMServerErrorDomain);
  EXPECT_EQ(failed.error->code(), 10008);
  EXPECT_EQ(failed.error->userInfo()["description"], "x");
  ASSERT_TRUE(failed.object);  // the dictionary comes back with its error

  // A declared charset is honoured.
  auto latin = decode(reply(200, "application/json; charset=ISO-8859-1"), encrypted(R"({"code":0})"));
  EXPECT_FALSE(latin.error);
}

TEST(LMJsonResponseSerialization, ServerErrorsOnFailureStatusesKeepTheStatusErrorUnderneath) {
  auto busy = decode(reply(503),
                     encrypted(R"({"code":503,"data":{"retryAfter":120}})"));
  ASSERT_TRUE(busy.error);
  EXPECT_EQ(busy.error->code(), 503);
  EXPECT_EQ(busy.error->userInfo()["data"]["retryAfter"], 120);
  auto underlying = busy.error->underlying();
  ASSERT_TRUE(underlying);
  EXPECT_EQ(underlying->domain(), kLMResponseSerializationErrorDomain);
  EXPECT_EQ(underlying->code(), kLMResponseErrorBadServerResponse);

  auto empty500 = decode(reply(500), {});
  EXPECT_FALSE(empty500.object);
  ASSERT_TRUE(empty500.error);
  EXPECT_EQ(empty500.error->code(), kLMResponseErrorBadServerResponse);
  EXPECT_EQ(empty500.error->userInfo()[kLMRetriableKey], false);
  EXPECT_NE(empty500.error->userInfo()[platform::Error::kLocalizedDescriptionKey].get<std::string>().find("(500)"),
            std::string::npos);
}

TEST(LMJsonResponseSerialization, UnacceptableContentTypeIsARetriableErrorWithoutBodyDecoding) {
  auto html = decode(reply(200, "text/html"), platform::toBytes("<html>oops</html>"));
  EXPECT_FALSE(html.object);
  ASSERT_TRUE(html.error);
  EXPECT_EQ(html.error->code(), kLMResponseErrorCannotDecodeContentData);
  EXPECT_EQ(html.error->userInfo()[kLMRetriableKey], true);
}

TEST(LMJsonResponseSerialization, UndecryptableSuccessRepliesAreErrorsNotEmptySuccesses) {
  // A plain page with status 200 does not decrypt under the key.
  auto plain = decode(reply(200), platform::toBytes("Service temporarily unavailable"));
  EXPECT_FALSE(plain.object);
  ASSERT_TRUE(plain.error);
  EXPECT_EQ(plain.error->domain(), kLMResponseSerializationErrorDomain);
  EXPECT_EQ(plain.error->code(), kLMResponseErrorCannotDecodeContentData);

  // So does an empty body, and any body when there is no key.
  EXPECT_TRUE(decode(reply(200), {}).error);
  auto noKey = decode(reply(200), encrypted(R"({"code":0})"), std::nullopt);
  ASSERT_TRUE(noKey.error);
  EXPECT_EQ(noKey.error->code(), kLMLocalErrorNotLoggedIn);

  // A wrong key is the same as a plain page.
  auto wrongKey = decode(reply(200), encrypted(R"({"code":0})"),
                         base64Encoding(platform::toBytes("fedcba9876543210")));
  EXPECT_FALSE(wrongKey.object);
  EXPECT_TRUE(wrongKey.error);

  // A body that decrypts but is not JSON is the parser's error.
  auto notJson = decode(reply(200), encrypted("not json"));
  ASSERT_TRUE(notJson.error);
  EXPECT_EQ(notJson.error->domain(), kLMJSONErrorDomain);
}

TEST(LMJsonResponseSerialization, OnlyASingleBlankIsAnEmptyReply) {
  auto blank = decode(reply(200), encrypted(" "));
  EXPECT_FALSE(blank.object);
  EXPECT_FALSE(blank.error);
}

TEST(LMJsonResponseSerialization, CodeCheckPassesWhatItCannotJudge) {
  auto textCode = decode(reply(200), encrypted(R"({"code":"0"})"));
  EXPECT_FALSE(textCode.error);
  auto array = decode(reply(200), encrypted(R"([1,2])"));
  EXPECT_FALSE(array.error);
  EXPECT_EQ(array.object, Json::array({1, 2}));

  EXPECT_TRUE(LMJsonResponseSerialization::validateLMJSONObject(std::nullopt));
  EXPECT_TRUE(LMJsonResponseSerialization::validateLMJSONObject(Json{{"x", 1}}));
  EXPECT_FALSE(LMJsonResponseSerialization::validateLMJSONObject(Json{{"code", -3}}));
}

TEST(LMJsonResponseSerialization, CodesBeyondSixtyFourBitsAreHeldToTheirRange) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"3.18e20", INT64_MAX}, {"-3.18e20", INT64_MIN}, {"18446744073709551615", INT64_MAX},
      {"1e300", INT64_MAX},   {"-2.5", -2},
  };
  for (const auto& [code, expected] : cases) {
    auto decoded = decode(reply(200), encrypted(std::string("{\"code\":") + code + "}"));
    ASSERT_TRUE(decoded.error) << code;
    EXPECT_EQ(decoded.error->domain(), lumora::kLMServerErrorDomain) << code;
    EXPECT_EQ(decoded.error->code(), expected) << code;
  }
  EXPECT_FALSE(decode(reply(200), encrypted(R"({"code":0.0})")).error);
}

TEST(LMJsonResponseSerialization, RepliesNestedPastTheBoundAreMalformed) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::pair<std::string, bool> cases[] = {
      {"{\"code\":0,\"d\":" + nested(1000000) + "}", false},
      {"{\"code\":0,\"d\":" + nested(platform::kMaxJsonDepth + 1) + "}", false},
      {"{\"code\":0,\"d\":" + nested(platform::kMaxJsonDepth - 1) + "}", true},
      {"{\"code\":0,\"t\":\"" + std::string(1000, '{') + "\\\"[\"}", true},
  };
  for (const auto& [text, readable] : cases) {
    auto decoded = decode(reply(200), encrypted(text));
    EXPECT_EQ(decoded.object.has_value(), readable) << text.size();
    if (!readable) {
      ASSERT_TRUE(decoded.error);
      EXPECT_EQ(decoded.error->code(), kLMJSONErrorCode);
    }
  }
  // Record texts read from a reply are held to the same bound.
  EXPECT_FALSE(LMUtils::jsonObjectFromString(Json(nested(1000000))));
  EXPECT_TRUE(LMUtils::jsonObjectFromString(Json(nested(8))));
}

TEST(LMJsonResponseSerialization, RemovesNullsWhenAsked) {
  LMJsonResponseSerialization serializer;
  serializer.setRemovesKeysWithNullValues(true);
  auto decoded = serializer.responseObjectForResponse(
      reply(200), encrypted(R"({"code":0,"a":null,"b":[{"c":null,"d":1}]})"), kSecurityKey);
  EXPECT_TRUE(decoded.status.ok());
  EXPECT_EQ(decoded.object, (Json{{"code", 0}, {"b", Json::array({Json{{"d", 1}}})}}));
}

TEST(LMHTTPResponseSerialization, ValidationWithoutResponseOrContentTypeRules) {
  LMHTTPResponseSerialization plain;
  EXPECT_TRUE(plain.validateResponse(std::nullopt, {}).value());
  EXPECT_TRUE(plain.validateResponse(reply(204, ""), {}).value());
  auto refused = plain.validateResponse(reply(404, "text/html"), platform::toBytes("x"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), kLMResponseErrorBadServerResponse);
  EXPECT_FALSE(refused.error().underlying());  // no content-type rule, so nothing under it

  LMJsonResponseSerialization json;
  // Wrong type with an empty body fails without an error object.
  auto emptyBody = json.validateResponse(reply(200, "text/plain"), {});
  ASSERT_TRUE(emptyBody);
  EXPECT_FALSE(*emptyBody);
  // Wrong type and wrong status: the status error with the type error under it.
  auto both = json.validateResponse(reply(502, "text/html"), platform::toBytes("x"));
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().code(), kLMResponseErrorBadServerResponse);
  ASSERT_TRUE(both.error().underlying());
  EXPECT_EQ(both.error().underlying()->code(), kLMResponseErrorCannotDecodeContentData);
}

}  // namespace
