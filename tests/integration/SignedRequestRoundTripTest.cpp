// Signed requests against the local cloud: the server checks cookie and
// signature and decrypts the parameters on its own, so every accepted
// request proves the client's encryption and signature; requests with a
// known key also pin the exact text the client sent.
#include <gtest/gtest.h>

#include "SignedRequestFixture.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "utils/LMErrors.h"
#include "platform/dispatch/Clock.h"

namespace signedtest {
namespace {

using lumora::LMHTTPRequestOperation;

Json echoed(const std::shared_ptr<LMHTTPRequestOperation>& operation) {
  auto object = operation->responseObject();
  if (!object || !object->contains("data")) return nullptr;
  return (*object)["data"];
}

TEST_F(SignedRequestCloudTest, KnownKeyGetAndPostAreAcceptedAsSigned) {
  signInWithKnownKey();
  std::optional<platform::Error> error;
  auto get = send("GET", "/test/echo/10001", Json{{"limit", "200"}, {"_json", "true"}}, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(get->request().url,
            url("/test/echo/10001?_json=true&limit=U04ITZQkJqwC17%2BlazLwaA%3D%3D"
                "&signature=wmUea1QHgzTGYWghIG5ZJVWcwvE%3D"));
  Json data = echoed(get);
  EXPECT_EQ(data["method"], "GET");
  EXPECT_EQ(data["params"], (Json{{"limit", "200"}, {"_json", "true"}}));

  auto post = send("POST", "/test/echo/10001", Json{{"data", R"({"a":1})"}, {"_n", "5"}}, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(platform::toString(post->request().body),
            "_n=5&data=BP9skGlfdB%2FX%2B4yw59YPOA%3D%3D&signature=FxcBy6IlGdNCpCFwLNUqJVuQW50%3D");
  EXPECT_EQ(echoed(post)["params"], (Json{{"data", R"({"a":1})"}, {"_n", "5"}}));
}

TEST_F(SignedRequestCloudTest, KnownKeyNilAndEmptyParametersAndAnExistingQuery) {
  signInWithKnownKey();
  std::optional<platform::Error> error;

  // No parameters: nothing is added to URL or body; the cookie alone counts.
  auto bare = send("GET", "/test/echo/10001", std::nullopt, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(bare->request().url, url("/test/echo/10001"));
  EXPECT_EQ(bare->request().headers.value("Cookie").value_or("").rfind("userId=10001; serviceToken=", 0), 0u);

  // An empty dictionary: the signature over method, path and key alone.
  auto emptyGet = send("GET", "/test/echo/10001", Json::object(), &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(emptyGet->request().url, url("/test/echo/10001?signature=TzHs4gQVvjUbDd4%2FMU3QHfbqZdY%3D"));
  auto emptyPost = send("POST", "/test/echo/10001", Json::object(), &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(platform::toString(emptyPost->request().body), "signature=IUBX%2BvPi7aG1h0On78%2F10Ec%2BOvU%3D");
  EXPECT_EQ(echoed(emptyPost)["params"], Json::object());

  // A query the URL already carries is kept ahead of the signed pairs but
  // lies outside the signature, so the cloud refuses the request (403) and
  // the refusal is not retried.
  auto existing = send("GET", "/test/echo/10001?x=1", Json{{"limit", "200"}, {"_json", "true"}}, &error);
  EXPECT_EQ(existing->request().url,
            url("/test/echo/10001?x=1&_json=true&limit=U04ITZQkJqwC17%2BlazLwaA%3D%3D"
                "&signature=wmUea1QHgzTGYWghIG5ZJVWcwvE%3D"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), lumora::kLMServerErrorDomain);
  EXPECT_EQ(error->code(), 403);
  auto sent = calls("/test/echo/10001");
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().status, 403);
  EXPECT_EQ(sent.size(), 4u);  // bare, empty GET, empty POST, the refused one
}

TEST_F(SignedRequestCloudTest, NilEmptyAndPlainParametersAfterARealLogin) {
  loginThroughAccountService();
  std::optional<platform::Error> error;

  // No parameters: the cookie alone authenticates it.
  auto bare = send("POST", "/test/echo/10001", std::nullopt, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(echoed(bare)["params"], Json::object());

  // An empty dictionary: only the signature is sent.
  auto empty = send("GET", "/test/echo/10001", Json::object(), &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(empty->request().url.find("?signature="), url("/test/echo/10001").size());

  // Names starting with "_" travel in clear, the rest encrypted.
  auto mixed = send("POST", "/test/echo/10001",
                    Json{{"_plain", "a b"}, {"secret", "x&y=z"}, {"n", 3}}, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(echoed(mixed)["params"], (Json{{"_plain", "a b"}, {"secret", "x&y=z"}, {"n", "3"}}));
  std::string body = platform::toString(mixed->request().body);
  EXPECT_NE(body.find("_plain=a%20b"), std::string::npos);
  EXPECT_EQ(body.find("x%26y"), std::string::npos);
}

TEST_F(SignedRequestCloudTest, MultipartPostCarriesSignedQueryAndFileParts) {
  signInWithKnownKey();
  std::shared_ptr<LMHTTPRequestOperation> operation;
  std::optional<platform::Error> error;
  offMain([&] {
    operation = adapter_->performRequestOperation(
        [&] {
          return adapter_->httpRequestManager()->POST(
              url("/test/upload/10001"), Json{{"type", "ico"}, {"st", "2"}}, "lumora",
              [](lumora::LMStreamingMultipartFormData& form) {
                form.appendPartWithFileData(platform::toBytes("JPEGDATA"), "userfile", "photo.jpg",
                                            "image/jpeg");
              });
        });
    error = operation->error();
  });
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(operation->request().url,
            url("/test/upload/10001?signature=8ZV3SaPCXk0Lzw3j0M6Yn6d%2Bp0U%3D"
                "&st=gvZJj%2B2RI0YvGgX6xWLllw%3D%3D&type=ClTjKOWsXpkmeyMH6nshBA%3D%3D"));
  Json data = echoed(operation);
  EXPECT_EQ(data["params"], (Json{{"type", "ico"}, {"st", "2"}}));
  ASSERT_EQ(data["files"].size(), 1u);
  EXPECT_EQ(data["files"][0]["name"], "userfile");
  EXPECT_EQ(data["files"][0]["filename"], "photo.jpg");
  EXPECT_EQ(data["files"][0]["contentType"], "image/jpeg");
  EXPECT_EQ(data["files"][0]["content"], "JPEGDATA");
}

TEST_F(SignedRequestCloudTest, WithoutASessionNothingGoesOut) {
  std::optional<platform::Error> error;
  send("POST", "/test/echo/10001", Json{{"data", "x"}}, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), lumora::kLMLocalErrorDomain);
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorNotLoggedIn);
  EXPECT_TRUE(calls("/test/echo/10001").empty());
}

TEST_F(SignedRequestCloudTest, AReplyUnderAnotherKeyIsAnError) {
  signInWithKnownKey();
  // A refused status is retried after the rule's 24 s pauses: on a test clock.
  auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvanceSleeps(true);
  platform::ScopedClock scoped(clock);
  // The client holds a different key than the one the token was issued for:
  // the server refuses the signature, and its reply cannot be read either.
  lumora::QBPassportsManager::sharedManager()->passportForSid("lumora")->setSSecurity(
      "ZmVkY2JhOTg3NjU0MzIxMA==");
  std::optional<platform::Error> error;
  auto operation = send("POST", "/test/echo/10001", Json{{"data", "x"}}, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kLMResponseErrorBadServerResponse);
  EXPECT_FALSE(operation->responseObject());
  auto sent = calls("/test/echo/10001");
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent.back().status, 403);
  EXPECT_EQ(clock->sleptTotal(), platform::seconds(72));
}

}  // namespace
}  // namespace signedtest
