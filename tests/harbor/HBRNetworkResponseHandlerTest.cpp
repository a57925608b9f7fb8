#include <gtest/gtest.h>

#include "harbor/HBRNetworkClient.h"
#include "harbor/HBRNetworkOperation.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "harbor/HBRURLBuilder.h"
#include "platform/device/Locale.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"

namespace lumora {
namespace {

using platform::http::HeaderFields;
using platform::http::Request;
using platform::http::Response;

Response handlerReply(int status, HeaderFields headers = {}) {
  return Response("https://127.0.0.1/x", status, std::move(headers));
}

TEST(HBRNetworkResponseHandlerTest, StatusesSortIntoClassesAndErrors) {
  struct Case {
    int status;
    bool retry;
    std::int64_t code;  // 0: no error
  };
  const Case cases[] = {{200, false, 0},  {204, false, 0},  {304, false, 0},  {203, false, -4}, {205, false, -4},
                        {206, false, -4}, {402, false, -4}, {405, false, -4}, {400, false, -5}, {431, false, -5},
                        {408, true, -1},  {420, true, -1},  {429, true, -1},  {500, true, -1},  {599, true, -1},
                        {600, false, -4}};
  Request request;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    bool retry = !c.retry;
    std::optional<platform::Error> error;
    HBRNetworkResponseHandler::handleCompletedResponse(
        handlerReply(c.status, {{"X-Request-Id", "r1"}}), request, std::nullopt,
        [&](bool wanted, const std::optional<platform::Error>& e) {
          retry = wanted;
          error = e;
        });
    EXPECT_EQ(retry, c.retry);
    EXPECT_EQ(error ? error->code() : 0, c.code);
    if (error) {
      EXPECT_EQ(error->domain(), kHBRNetworkErrorDomain);
      EXPECT_EQ(error->userInfo()["status_code"], c.status);
      EXPECT_EQ(error->userInfo()["request_id"], "r1");
    }
  }
  int seen = -1;
  HBRNetworkResponseHandler::clientResponseType(std::nullopt, [&](HBRResponseType type, int status) {
    seen = static_cast<int>(type) * 1000 + status;
  });
  EXPECT_EQ(seen, 1000);
  // A transport error passes unchanged, the status unread.
  HBRNetworkResponseHandler::handleCompletedResponse(
      handlerReply(500), request, platform::Error("NSURLErrorDomain", -999),
      [](bool wanted, const std::optional<platform::Error>& e) {
        EXPECT_FALSE(wanted);
        EXPECT_EQ(e->code(), -999);
      });
}

TEST(HBRNetworkResponseHandlerTest, ContentTypeMatchesTheAcceptedTypeAndCharset) {
  struct Case {
    std::optional<std::string> accept, acceptCharset, contentType;
    bool matches;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, true},
      {"application/json", "utf-8", "application/json; charset=UTF-8", true},
      {"application/json", "utf-8", "application/json;charset=utf-8", true},
      {"application/json", "utf-8", "application/json", true},
      {"application/json", "utf-8", "application/json; charset=latin1", false},
      {"application/json", "utf-8", "text/html", false},
      {"application/json", std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    Request request;
    if (c.accept) request.headers.set("Accept", *c.accept);
    if (c.acceptCharset) request.headers.set("Accept-Charset", *c.acceptCharset);
    HeaderFields headers;
    if (c.contentType) headers.set("Content-Type", *c.contentType);
    EXPECT_EQ(HBRNetworkResponseHandler::contentTypeForResponse(handlerReply(200, headers), request), c.matches)
        << c.contentType.value_or("(none)");
  }
}

TEST(HBRNetworkResponseHandlerTest, RetryDelaysFollowRetryAfterAttemptsAndJitter) {
  // Dates are read against the platform clock: 2020-01-01 00:00:00 UTC.
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  HBRNetworkClient::setJitterForTesting([] { return 0.5; });
  auto client = HBRNetworkClient::create();
  const double jitter = HBRNetworkClient::generateRandomJitter();
  EXPECT_NEAR(jitter, 1.0, 1e-6);
  struct Case {
    std::optional<std::string> retryAfter;
    std::uint64_t tries;
    double seconds;
    std::optional<std::string> date = std::nullopt;  // the reply's own
  };
  const Case cases[] = {{"7", 0, 7},   {"7", 1, 7},          {"7", 2, 14},         {"7", 6, 42},  {"7", 9, 63},
                        {"-3", 0, 300}, {"-3", 3, 900}, {std::nullopt, 0, 300}, {"2.5", 0, 2.5},
                        // However long the server asks for, never sooner.
                        {" 600", 0, 600}, {"600.5 ", 0, 600.5}, {"99999999", 1, 99999999}, {"1e300", 0, 1e300},
                        // No usable number or date: the kit's own backoff.
                        {"soon", 1, 300}, {"", 0, 300}, {"  ", 2, 600}, {"7 s", 0, 300}, {"7,5", 1, 300},
                        {"21 Oct 2026 07:30:00 GMT", 0, 300}, {"2026-10-21T07:30:00Z", 0, 300},
                        {"1e999", 0, 300}, {"inf", 2, 600}, {"-inf", 0, 300}, {"nan", 0, 300}, {"NaN", 1, 300},
                        // A date: the time until it, from the reply's own date when it has one.
                        {"Wed, 01 Jan 2020 00:05:00 GMT", 0, 300}, {"Wednesday, 01-Jan-20 00:00:30 GMT", 1, 30},
                        {"Wed Jan  1 00:01:00 2020", 1, 60},
                        {"Wed, 21 Oct 2026 07:28:30 GMT", 1, 30, "Wed, 21 Oct 2026 07:28:00 GMT"},
                        {"Wed, 01 Jan 2020 00:05:00 GMT", 0, 300, "a while ago"},
                        // Sooner than a second: the least wait, which doubles with each retry.
                        {"0", 0, 1}, {"0", 1, 2}, {"0.2", 3, 8}, {"0", 9, 300}, {"0", 60, 300},
                        {"Sun, 06 Nov 1994 08:49:37 GMT", 2, 4}, {"Wed, 01 Jan 2020 00:00:00 GMT", 4, 16},
                        {"Wed, 21 Oct 2026 07:28:00 GMT", 3, 8, "Wed, 21 Oct 2026 07:30:00 GMT"}};
  for (const auto& c : cases) {
    HeaderFields headers;
    if (c.retryAfter) headers.set("Retry-After", *c.retryAfter);
    if (c.date) headers.set("Date", *c.date);
    EXPECT_DOUBLE_EQ(client->computeDelayForResponse(handlerReply(503, headers), c.tries), c.seconds * jitter)
        << c.retryAfter.value_or("(none)") << " after attempt " << c.tries;
  }
  // Ten retries of a server that asks for 7 s wait 7 x (1 + 1 + 2 + ... + 9).
  double waited = 0;
  for (std::uint64_t tries = 0; tries < HBRNetworkClient::kDefaultRetryLimit; ++tries) {
    waited += client->computeDelayForResponse(handlerReply(503, {{"Retry-After", "7"}}), tries);
  }
  EXPECT_NEAR(waited, 322 * jitter, 1e-9);
  // The wait runs on the platform clock.
  platform::SerialQueue queue("test.retry");
  bool ran = false;
  client->runAfterRetryValueFromResponse(handlerReply(503, {{"Retry-After", "7"}}), 0, queue, [&] { ran = true; });
  auto ranNow = [&] {
    bool copy = false;
    queue.sync([&] { copy = ran; });
    return copy;
  };
  clock->advance(std::chrono::milliseconds(6900));
  EXPECT_FALSE(ranNow());
  clock->advance(std::chrono::milliseconds(200));
  EXPECT_TRUE(ranNow());

  HBRNetworkClient::setJitterForTesting(nullptr);
  for (int i = 0; i < 100; ++i) {
    double drawn = HBRNetworkClient::generateRandomJitter();
    EXPECT_GE(drawn, 0.8999999);
    EXPECT_LT(drawn, 1.1000001);
  }
}

class HBRTestOperation final : public HBRNetworkOperation {
 public:
  HBRTestOperation() : HBRNetworkOperation("key-1") {}
  void main() override { finish(); }
};

TEST(HBRNetworkResponseHandlerTest, UrlBuilderAndCommonHeaders) {
  auto builder = HBRURLBuilder::URLWithBase("https://h.example/a");
  builder.escapeAndAppendComponent("/b c%");
  builder.appendValue(std::nullopt, "skipped");
  builder.appendValue(platform::Json("x&y=z é"), "q");
  builder.appendValue(platform::Json(42), "n");
  EXPECT_EQ(builder.URL(), "https://h.example/a/b%20c%25?q=x&y=z%20%C3%A9&n=42");
  EXPECT_EQ(builder.queryParams(), 2u);
  EXPECT_FALSE(HBRURLBuilder::URLWithBase("not a url").URL());

  platform::Locale::configure("de_DE");
  HBRTestOperation operation;
  auto request = operation.mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://h.example/");
  platform::Locale::configure(std::nullopt);
  EXPECT_EQ(request.timeoutSeconds, 10.0);
  EXPECT_EQ(request.headers.value("Accept-Language"), "de_DE");
  EXPECT_EQ(request.headers.value("X-Blackbox-API-Key"), "key-1");
  EXPECT_EQ(request.headers.entries().front().first, "User-Agent");
  EXPECT_EQ(request.headers.size(), 9u);
}

}  // namespace
}  // namespace lumora
