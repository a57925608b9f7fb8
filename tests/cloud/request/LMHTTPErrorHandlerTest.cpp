#include <gtest/gtest.h>

#include <memory>

#include "cloud/request/LMHTTPErrorHandler.h"
#include "utils/LMErrors.h"
#include "platform/Clock.h"

namespace {

using namespace lumora;
using platform::Error;
using platform::Json;

class LMHTTPErrorHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { handler.clearAllErrors(); }
  void TearDown() override { handler.clearAllErrors(); }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  LMHTTPErrorHandler& handler = LMHTTPErrorHandler::defaultHandler();
};

Error serverError(std::int64_t code, Json info = Json::object()) {
  return Error(kLMServerErrorDomain, code, std::move(info));
}

TEST_F(LMHTTPErrorHandlerTest, A500BlocksTheHostForFiveMinutesWithoutExtension) {
  const std::string url = "http://cloud.example:8080/lum/contact/v3/user/1/full";
  Error first = serverError(500, {{"code", 500}});
  EXPECT_TRUE(handler.handleServerError(first, url));
  // Any path and port of that host is blocked with the same error.
  EXPECT_EQ(handler.serverErrorWithURL("https://cloud.example/other?x=1"), first);
  EXPECT_FALSE(handler.serverErrorWithURL("http://elsewhere.example/"));

  clock->advance(platform::seconds(200));
  // A second 500 while blocked changes nothing (the block keeps its end).
  EXPECT_TRUE(handler.handleServerError(serverError(500, {{"code", 500}, {"n", 2}}), url));
  EXPECT_EQ(handler.serverErrorWithURL(url), first);
  clock->advance(platform::seconds(99));
  EXPECT_TRUE(handler.serverErrorWithURL(url));
  clock->advance(platform::seconds(1));
  EXPECT_FALSE(handler.serverErrorWithURL(url));

  // 500 in any domain blocks.
  EXPECT_TRUE(handler.handleServerError(Error("other", 500), url));
  EXPECT_TRUE(handler.serverErrorWithURL(url));
}

TEST_F(LMHTTPErrorHandlerTest, A503BlocksForTheNamedTimeAndAnswersNo) {
  const std::string url = "http://busy.example/lum/x";
  Error busy = serverError(503, {{"code", 503}, {"data", {{"retryAfter", 120}}}});
  EXPECT_FALSE(handler.handleServerError(busy, url));
  EXPECT_EQ(handler.serverErrorWithURL(url), busy);
  clock->advance(platform::seconds(119.5));
  EXPECT_TRUE(handler.serverErrorWithURL(url));
  clock->advance(platform::seconds(0.5));
  EXPECT_FALSE(handler.serverErrorWithURL(url));

  // A time beyond what the clock can hold blocks for a day, number or text.
  for (Json retryAfter : {Json(1e19), Json(9.3e9), Json("99999999999999999999")}) {
    EXPECT_FALSE(handler.handleServerError(serverError(503, {{"data", {{"retryAfter", retryAfter}}}}), url));
    clock->advance(platform::seconds(24 * 3600 - 1));
    EXPECT_TRUE(handler.serverErrorWithURL(url)) << retryAfter;
    clock->advance(platform::seconds(1));
    EXPECT_FALSE(handler.serverErrorWithURL(url)) << retryAfter;
  }
}

TEST_F(LMHTTPErrorHandlerTest, ErrorsThatDoNotBlock) {
  const std::string url = "http://host.example/";
  EXPECT_FALSE(handler.handleServerError(serverError(503, {{"code", 503}}), url));
  EXPECT_FALSE(handler.handleServerError(serverError(503, {{"data", Json::object()}}), url));
  EXPECT_FALSE(handler.handleServerError(serverError(503, {{"data", {{"other", 1}}}}), url));
  EXPECT_FALSE(handler.handleServerError(Error("elsewhere", 503, {{"data", {{"retryAfter", 9}}}}), url));
  EXPECT_FALSE(handler.handleServerError(serverError(404), url));
  EXPECT_FALSE(handler.handleServerError(std::nullopt, url));
  EXPECT_FALSE(handler.handleServerError(serverError(500), std::nullopt));
  EXPECT_FALSE(handler.serverErrorWithURL(url));
}

TEST_F(LMHTTPErrorHandlerTest, ClearAllErrorsUnblocksAndHostlessURLsUseTheirText) {
  EXPECT_TRUE(handler.handleServerError(serverError(500), "not a url"));
  EXPECT_TRUE(handler.serverErrorWithURL("not a url"));
  EXPECT_TRUE(handler.handleServerError(serverError(500), "http://a.example/"));
  handler.clearAllErrors();
  EXPECT_FALSE(handler.serverErrorWithURL("not a url"));
  EXPECT_FALSE(handler.serverErrorWithURL("http://a.example/"));
  // A new block after the logout runs its own full time.
  clock->advance(platform::seconds(250));
  EXPECT_TRUE(handler.handleServerError(serverError(500), "http://a.example/"));
  clock->advance(platform::seconds(100));
  EXPECT_TRUE(handler.serverErrorWithURL("http://a.example/"));
}

TEST_F(LMHTTPErrorHandlerTest, AuthenticationStepIgnoresOtherErrors) {
  int calls = 0;
  bool handled = true;
  handler.handleUserAuthenticationError(serverError(401), "lumora",
                                        [&](std::optional<Error> error, bool yes) {
                                          ++calls;
                                          handled = yes;
                                          EXPECT_FALSE(error);
                                        });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(handled);
}

}  // namespace
