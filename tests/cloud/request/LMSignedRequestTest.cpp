// Signed requests: known-answer signatures and encrypted values (AES-CBC
// under a fixed vector is deterministic), placement of the parameters, and
// the request manager's refusal to build a request without a session.
#include <gtest/gtest.h>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "utils/LMErrors.h"
#include "support/BodySource.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using platform::Json;

constexpr const char* kSignedSecurity = "MDEyMzQ1Njc4OWFiY2RlZg==";  // Base64 of "0123456789abcdef"

class LMSignedRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto manager = QBPassportsManager::sharedManager();
    manager->setUserId("123");
    passport = manager->passportForSid("lumora", "123");
    ASSERT_TRUE(passport);
    passport->setServiceToken("token-1");
    passport->setSSecurity(kSignedSecurity);
  }
  void TearDown() override { QBPassportsManager::sharedManager()->logOut(); }

  testsupport::TestHome home;
  std::shared_ptr<QBLoginPassport> passport;
  const LMSignedSession session{"123", "token-1", kSignedSecurity};
  LMHTTPRequestSerialization serializer;
};

TEST_F(LMSignedRequestTest, GetEncryptsAndSignsIntoAnExistingQuery) {
  auto request = serializer.requestWithMethod(
      "GET", "http://cloud.example/lum/contact/v3/user/123/full?x=1",
      Json{{"limit", "200"}, {"_json", "true"}}, session);
  EXPECT_EQ(request.url,
            "http://cloud.example/lum/contact/v3/user/123/full?x=1&_json=true"
            "&limit=U04ITZQkJqwC17%2BlazLwaA%3D%3D&signature=6NZvtUyh3Dn8VGgR%2BEl1oFJlGo4%3D");
  EXPECT_EQ(request.headers.value("Cookie"), "userId=123; serviceToken=token-1");
  EXPECT_TRUE(request.body.empty());
  EXPECT_EQ(request.timeoutSeconds, 30.0);
  EXPECT_TRUE(request.headers.contains("Accept-Language"));
}

TEST_F(LMSignedRequestTest, PostSignsIntoAFormBody) {
  auto request = serializer.requestWithMethod("post", "http://cloud.example/lum/contact/v2/user/123/full/",
                                              Json{{"data", R"({"a":1})"}, {"_n", "5"}}, session);
  // The trailing slash is not part of the signed path; the method is upper-cased.
  EXPECT_EQ(platform::toString(request.body),
            "_n=5&data=BP9skGlfdB%2FX%2B4yw59YPOA%3D%3D&signature=RHwfi%2BJ6Hh%2B3UPtr8%2FITIQUmA%2BU%3D");
  EXPECT_EQ(request.url, "http://cloud.example/lum/contact/v2/user/123/full/");
  EXPECT_EQ(request.headers.value("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
}

TEST_F(LMSignedRequestTest, NilAndEmptyParameters) {
  auto bare = serializer.requestWithMethod("POST", "http://cloud.example/lum/x", std::nullopt, session);
  EXPECT_EQ(bare.url, "http://cloud.example/lum/x");
  EXPECT_TRUE(bare.body.empty());
  EXPECT_FALSE(bare.headers.contains("Content-Type"));
  EXPECT_EQ(bare.headers.value("Cookie"), "userId=123; serviceToken=token-1");

  auto empty = serializer.requestWithMethod("POST", "http://cloud.example/lum/x", Json::object(), session);
  EXPECT_EQ(platform::toString(empty.body), "signature=vVGyYMGfyV1PSRj1EGpmrc4mKcY%3D");
}

TEST_F(LMSignedRequestTest, HeadersOnTheRequestWinAndDeleteUsesTheQuery) {
  platform::http::Request own;
  own.method = "DELETE";
  own.url = "http://cloud.example/lum/x";
  own.headers.set("User-Agent", "mine");
  own.headers.set("Content-Type", "text/plain");
  auto request = serializer.requestBySerializingRequest(own, Json{{"_a", "1"}}, session);
  EXPECT_EQ(request.headers.value("User-Agent"), "mine");
  EXPECT_EQ(request.headers.values("User-Agent").size(), 1u);
  EXPECT_EQ(request.url.rfind("http://cloud.example/lum/x?_a=1&signature=", 0), 0u);
  EXPECT_TRUE(request.body.empty());

  // A POST that already has a content type keeps it.
  own.method = "POST";
  auto post = serializer.requestBySerializingRequest(own, Json{{"_a", "1"}}, session);
  EXPECT_EQ(post.headers.value("Content-Type"), "text/plain");
}

TEST_F(LMSignedRequestTest, MultipartPutsSignedParametersInTheQuery) {
  auto request = serializer.multipartFormRequestWithMethod(
      "POST", "http://cloud.example/lum/file/v2/user/123/full", Json{{"type", "ico"}, {"st", "2"}},
      session, [](LMStreamingMultipartFormData& form) {
        form.appendPartWithFileData(platform::toBytes("JPEG"), "file", "a.jpg", "image/jpeg");
      });
  EXPECT_EQ(request.url,
            "http://cloud.example/lum/file/v2/user/123/full?signature=kFOx%2FJgymMPMPGoUer0MRg7wTnk%3D"
            "&st=gvZJj%2B2RI0YvGgX6xWLllw%3D%3D&type=ClTjKOWsXpkmeyMH6nshBA%3D%3D");
  EXPECT_EQ(request.headers.value("Cookie"), "userId=123; serviceToken=token-1");
  EXPECT_EQ(request.headers.value("Content-Type")->rfind("multipart/form-data; boundary=", 0), 0u);
  std::string body = platform::toString(testsupport::bodyOf(request));
  EXPECT_NE(body.find("filename=\"a.jpg\""), std::string::npos);
  EXPECT_EQ(body.find("type"), std::string::npos);  // the parts carry no parameters
}

TEST_F(LMSignedRequestTest, NumbersAreSentAsTheirText) {
  auto number = serializer.requestWithMethod("GET", "http://c.example/lum/x", Json{{"limit", 200}}, session);
  auto text = serializer.requestWithMethod("GET", "http://c.example/lum/x", Json{{"limit", "200"}}, session);
  EXPECT_EQ(number.url, text.url);
}

TEST_F(LMSignedRequestTest, WithoutASignedInSessionNothingIsBuilt) {
  LMPassportsSessionSource sessions(QBPassportsManager::sharedManager());
  auto signedIn = sessions.sessionForSid("lumora");
  ASSERT_TRUE(signedIn.ok());
  EXPECT_EQ(signedIn->cookie(), session.cookie());

  passport->setSSecurity(std::nullopt);
  auto noKey = sessions.sessionForSid("lumora");
  ASSERT_FALSE(noKey.ok());
  EXPECT_EQ(noKey.error().domain(), kLMLocalErrorDomain);
  EXPECT_EQ(noKey.error().code(), kLMLocalErrorNotLoggedIn);
  EXPECT_EQ(noKey.error().userInfo()[kLMErrorReasonKey], "QBPassport isn't logged in.");

  passport->setSSecurity(kSignedSecurity);
  passport->setServiceToken(std::nullopt);
  EXPECT_FALSE(sessions.sessionForSid("lumora").ok());
  // Another service without a login.
  passport->setServiceToken("token-1");
  EXPECT_FALSE(sessions.sessionForSid("deviceinfo").ok());

  // The manager's operation carries the error and sends nothing.
  auto operation = LMHTTPRequestOperationManager().GET("http://127.0.0.1:1/x", std::nullopt, "deviceinfo");
  operation->start();
  ASSERT_TRUE(operation->error());
  EXPECT_EQ(operation->error()->code(), kLMLocalErrorNotLoggedIn);
  EXPECT_FALSE(operation->response());
}

}  // namespace
