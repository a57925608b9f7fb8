#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cloud/request/LMHTTPErrorHandler.h"
#include "cloud/request/LMSessionSource.h"
#include "utils/LMErrors.h"
#include "platform/dispatch/Clock.h"

namespace {

using namespace lumora;
using platform::Error;
using platform::Json;

// The error blocking the URL's host, if any.
std::optional<Error> errorHandlerBlockOf(LMHTTPErrorHandler& handler, const std::string& url) {
  auto blocked = handler.serverErrorWithURL(url);
  if (blocked) return std::nullopt;
  return blocked.error();
}

class LMHTTPErrorHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { handler.clearAllErrors(); }
  void TearDown() override { handler.clearAllErrors(); }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  LMHTTPErrorHandler& handler = LMHTTPErrorHandler::defaultHandler();
};

Error httpServerError(std::int64_t code, Json info = Json::object()) {
  return Error(kLMServerErrorDomain, code, std::move(info));
}

TEST_F(LMHTTPErrorHandlerTest, A500BlocksTheHostForFiveMinutesWithoutExtension) {
  const std::string url = "http://cloud.example:8080/lum/contact/v3/user/1/full";
  Error first = httpServerError(500, {{"code", 500}});
  EXPECT_TRUE(handler.handleServerError(first, url));
  // Any path and port of that host is blocked with the same error.
  EXPECT_EQ(errorHandlerBlockOf(handler, "https://cloud.example/other?x=1"), first);
  EXPECT_FALSE(errorHandlerBlockOf(handler, "http://elsewhere.example/"));

  clock->advance(platform::seconds(200));
  // The device's clock set back a day does not prolong the block.
  clock->stepWallTime(-std::chrono::hours(24));
  // A second 500 while blocked changes nothing (the block keeps its end).
  EXPECT_TRUE(handler.handleServerError(httpServerError(500, {{"code", 500}, {"n", 2}}), url));
  EXPECT_EQ(errorHandlerBlockOf(handler, url), first);
  clock->advance(platform::seconds(99));
  EXPECT_TRUE(errorHandlerBlockOf(handler, url));
  clock->advance(platform::seconds(1));
  EXPECT_FALSE(errorHandlerBlockOf(handler, url));

  // 500 in any domain blocks.
  EXPECT_TRUE(handler.handleServerError(Error("other", 500), url));
  EXPECT_TRUE(errorHandlerBlockOf(handler, url));
}

TEST_F(LMHTTPErrorHandlerTest, A503BlocksForTheNamedTimeAndAnswersNo) {
  const std::string url = "http://busy.example/lum/x";
  Error busy = httpServerError(503, {{"code", 503}, {"data", {{"retryAfter", 120}}}});
  EXPECT_FALSE(handler.handleServerError(busy, url));
  EXPECT_EQ(errorHandlerBlockOf(handler, url), busy);
  clock->advance(platform::seconds(119.5));
  EXPECT_TRUE(errorHandlerBlockOf(handler, url));
  clock->advance(platform::seconds(0.5));
  EXPECT_FALSE(errorHandlerBlockOf(handler, url));

  // A time beyond what the clock can hold blocks for a day, number or text.
  for (Json retryAfter : {Json(1e19), Json(9.3e9), Json("99999999999999999999"), Json(1e300),
                          Json(std::numeric_limits<double>::infinity()),
                          Json(std::numeric_limits<std::uint64_t>::max())}) {
    EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"data", {{"retryAfter", retryAfter}}}}), url));
    clock->advance(platform::seconds(24 * 3600 - 1));
    EXPECT_TRUE(errorHandlerBlockOf(handler, url)) << retryAfter;
    clock->advance(platform::seconds(1));
    EXPECT_FALSE(errorHandlerBlockOf(handler, url)) << retryAfter;
  }
}

TEST_F(LMHTTPErrorHandlerTest, ErrorsThatDoNotBlock) {
  const std::string url = "http://host.example/";
  EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"code", 503}}), url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"data", Json::object()}}), url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"data", {{"other", 1}}}}), url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"data", {{"retryAfter", -1e300}}}}), url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(503, {{"data", {{"retryAfter", -std::numeric_limits<double>::infinity()}}}}), url));
  EXPECT_FALSE(handler.handleServerError(Error("elsewhere", 503, {{"data", {{"retryAfter", 9}}}}), url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(404), url));
  EXPECT_FALSE(handler.handleServerError(std::nullopt, url));
  EXPECT_FALSE(handler.handleServerError(httpServerError(500), std::nullopt));
  EXPECT_FALSE(errorHandlerBlockOf(handler, url));
}

TEST_F(LMHTTPErrorHandlerTest, ClearAllErrorsUnblocksAndHostlessURLsUseTheirText) {
  EXPECT_TRUE(handler.handleServerError(httpServerError(500), "not a url"));
  EXPECT_TRUE(errorHandlerBlockOf(handler, "not a url"));
  EXPECT_TRUE(handler.handleServerError(httpServerError(500), "http://a.example/"));
  handler.clearAllErrors();
  EXPECT_FALSE(errorHandlerBlockOf(handler, "not a url"));
  EXPECT_FALSE(errorHandlerBlockOf(handler, "http://a.example/"));
  // A new block after the logout runs its own full time.
  clock->advance(platform::seconds(250));
  EXPECT_TRUE(handler.handleServerError(httpServerError(500), "http://a.example/"));
  clock->advance(platform::seconds(100));
  EXPECT_TRUE(errorHandlerBlockOf(handler, "http://a.example/"));
}

// Sessions that count relogins and answer them with `outcome`.
class CountingSessions : public LMSessionSource {
 public:
  std::optional<std::string> userId() override { return "1"; }
  platform::Result<LMSignedSession> sessionForSid(const std::string&) override {
    return LMSignedSession{"1", "t", "k"};
  }
  bool canReLoginForSid(const std::string&) override { return canReLogin; }
  platform::Status reLoginForSid(const std::string&) override {
    ++relogins;
    return outcome;
  }
  bool canReLogin = true;
  int relogins = 0;
  platform::Status outcome;
};

TEST_F(LMHTTPErrorHandlerTest, OnlyACancelledAuthenticationLogsInAgain) {
  CountingSessions sessions;
  std::vector<std::pair<bool, bool>> finishes;  // (relogin ok, handled)
  auto record = [&](const platform::Status& relogin, bool handled) {
    finishes.emplace_back(relogin.ok(), handled);
  };
  handler.handleUserAuthenticationError(httpServerError(401), sessions, "lumora", record);
  EXPECT_EQ(sessions.relogins, 0);
  EXPECT_EQ(finishes, (std::vector<std::pair<bool, bool>>{{true, false}}));

  finishes.clear();
  sessions.outcome = Error("QBPassportErrorDomain", -103);
  handler.handleUserAuthenticationError(Error("NSURLErrorDomain", -1012), sessions, "lumora", record);
  EXPECT_EQ(sessions.relogins, 1);
  EXPECT_EQ(finishes, (std::vector<std::pair<bool, bool>>{{false, true}, {true, false}}));

  finishes.clear();
  sessions.canReLogin = false;  // no passport held, or nobody signed in
  handler.handleUserAuthenticationError(Error("any", -1012), sessions, "lumora", record);
  EXPECT_EQ(sessions.relogins, 1);
  EXPECT_EQ(finishes, (std::vector<std::pair<bool, bool>>{{true, false}}));
}

}  // namespace
