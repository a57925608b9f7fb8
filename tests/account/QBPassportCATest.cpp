// The CA token store and switch, what a CA request sends in plain, and the
// failures a CA exchange reports without reaching the network.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AccountTestSupport.h"
#include "account/KPAESCrypt.h"
#include "account/KPKeyChainUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportCAConnectionHolder.h"
#include "account/QBPassportCARequest.h"
#include "account/QBPassportCATokenManager.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/CookieStorage.h"

namespace {

using lumora::QBPassportCARequest;
using lumora::QBPassportCAToken;
using lumora::QBPassportCATokenManager;

constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";  // 16 bytes

struct CARecordingDelegate : lumora::QBPassportRequestDelegate {
  CARecordingDelegate() {
    requestDidFailWithError = [this](const RequestPtr& request, const platform::Error& error) {
      std::lock_guard lock(mutex);
      failures.push_back(error.code());
      failedRequest = request;
    };
    requestDidLoad = [this](const RequestPtr&, const platform::Json& reply) {
      std::lock_guard lock(mutex);
      loads.push_back(reply);
    };
  }
  std::mutex mutex;
  std::vector<std::int64_t> failures;
  std::vector<platform::Json> loads;
  // Weak: the request's connection holder holds this delegate.
  std::weak_ptr<lumora::QBPassportRequest> failedRequest;
};

class CATest : public accounttest::AccountTest {
 protected:
  CATest() { lumora::KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN().removeFromKeyChain(); }

  static QBPassportCATokenManager& manager() { return QBPassportCATokenManager::sharedInstance(); }

  std::shared_ptr<QBPassportCARequest> caRequest(const std::string& url) {
    auto request = lumora::QBPassportRequest::requestWithParams(nullptr, "GET", {}, delegate_, url);
    return QBPassportCARequest::initWithWithQBPassportRequest(request);
  }

  std::shared_ptr<CARecordingDelegate> delegate_ = std::make_shared<CARecordingDelegate>();
};

TEST_F(CATest, StoredTokenFormAndLegality) {
  struct Case {
    const char* stored;
    std::optional<std::string> token;
    std::optional<std::string> security;
    bool legal;
  };
  const Case cases[] = {
      {"tok,sec", "tok", "sec", true},   {"tok-without-comma", std::nullopt, std::nullopt, false},
      {",", "", "", false},              {"a,b,c", "a", "b", true},
      {",sec", "", "sec", false},
  };
  auto& item = lumora::KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN();
  for (const auto& c : cases) {
    ASSERT_TRUE(item.setToKeyChain(c.stored));
    auto loaded = manager().passportCAExternal().loadCAToken();
    ASSERT_EQ(loaded.has_value(), c.token.has_value()) << c.stored;
    if (!loaded) continue;
    EXPECT_EQ(loaded->token(), *c.token) << c.stored;
    EXPECT_EQ(loaded->security(), *c.security) << c.stored;
    EXPECT_EQ(loaded->isLegal(), c.legal) << c.stored;
  }

  manager().didGetCATokenOnline(QBPassportCAToken::initWithToken("t1", "s1"));
  EXPECT_EQ(item.getFromKeyChain(), "t1,s1");
  EXPECT_EQ(item.keyChainAccessGroup(), "com.quenby.passport.catoken");
  manager().invalidateAllCAToken();
  EXPECT_EQ(item.getFromKeyChain(), ",");
  EXPECT_FALSE(manager().passportCAExternal().loadCAToken()->isLegal());
  manager().passportCAExternal().saveCAToken(std::nullopt);
  EXPECT_FALSE(item.getFromKeyChain());
  EXPECT_FALSE(QBPassportCAToken::initWithToken("t", std::nullopt));
}

TEST_F(CATest, SwitchedOffFromNowForTheGivenTimeAtMostSevenDays) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  const std::int64_t now = 1577836800000LL;
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {-5, 86'400'000},       {604'800, 604'800'000}, {604'801, 604'800'000},
      {30, 30'000},           {0, 0},                 {std::numeric_limits<std::int64_t>::max(), 604'800'000},
  };
  for (const auto& [seconds, millis] : cases) {
    manager().onCADisabledForSeconds(seconds);
    EXPECT_EQ(manager().passportCAExternal().loadNextCAEnabledTime(), now + millis) << seconds;
  }
  manager().onCADisabledForSeconds(30);
  EXPECT_FALSE(manager().isReady());
  clock->advance(std::chrono::seconds(30));
  EXPECT_TRUE(manager().isReady());
}

TEST_F(CATest, WhatACARequestSendsInPlain) {
  for (const char* name : {"_json", "_nonce", "_sign", "_caSign"}) {
    EXPECT_FALSE(QBPassportCARequest::shouldEncryptThisParam(std::string(name))) << name;
  }
  for (const char* name : {"user", "pwd", "signature", "sid"}) {
    EXPECT_TRUE(QBPassportCARequest::shouldEncryptThisParam(std::string(name))) << name;
  }
  EXPECT_FALSE(QBPassportCARequest::shouldEncryptThisParam(std::nullopt));
  for (const char* name : {"deviceId", "sdkVersion", "passport_ca_token", "__utm"}) {
    EXPECT_FALSE(QBPassportCARequest::shouldEncryptThisCookie(std::string(name))) << name;
  }
  for (const char* name : {"userId", "passToken", "ick", "_single"}) {
    EXPECT_TRUE(QBPassportCARequest::shouldEncryptThisCookie(std::string(name))) << name;
  }
  EXPECT_FALSE(QBPassportCARequest::shouldEncryptThisCookie(std::nullopt));
}

// Failures found before anything is sent reach the wrapped request's
// delegate with the wrapped request, and the CA request is let go.
TEST_F(CATest, FailuresBeforeSending) {
  // A CA request never goes over https.
  caRequest("https://ca.example.com/pass/serviceLoginCA")->connect();
  // A stored key that does not encrypt is blanked, so the next request
  // fetches a new token (it used to be inserted into the request as
  // nothing).
  manager().didGetCATokenOnline(QBPassportCAToken::initWithToken("tok", "not a key"));
  auto ca = caRequest("http://ca.example.com/pass/serviceLoginAuth2CA");
  (*ca->originalRequest()->params())["user"] = std::string("u");
  ca->connect();

  EXPECT_EQ(delegate_->failures, (std::vector<std::int64_t>{-100, -105}));
  EXPECT_EQ(delegate_->failedRequest.lock(), ca->originalRequest());
  EXPECT_FALSE(manager().passportCAExternal().loadCAToken()->isLegal());
  EXPECT_EQ(lumora::QBPassportRequestMemoryHolder::count(), 0u);
}

// A 401 is read by its challenge: "passportCA-Disabled" switches CA off for
// the seconds given; one that is no CA signal is a refusal too (it used to
// let its body pass for a reply); other statuses fail with their code.
TEST_F(CATest, RefusalsEndTheExchangeWithTheirStatus) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  struct Case {
    int status;
    const char* challenge;
    const char* seconds;
    std::int64_t nextEnabled;  // ms after now; -1: untouched
  };
  const Case cases[] = {
      {401, "passportCA-Disabled", "120", 120'000}, {401, "passportCA-Disabled", nullptr, 0},
      {401, "passportCA-Disabled", "-1", 86'400'000},
      {401, "passportCA-Disabled", "99999999999999999999", 604'800'000}, {401, "Basic", nullptr, -1},
      {403, nullptr, nullptr, -1}, {500, nullptr, nullptr, -1},
  };
  for (const auto& c : cases) {
    manager().passportCAExternal().saveNextCAEnabledTime(-1);
    auto ca = caRequest("http://ca.example.com/pass/serviceLoginCA");
    lumora::QBPassportRequestMemoryHolder::addQBPassportCARequest(ca);
    auto holder = lumora::QBPassportCAConnectionHolder::initWithCARequest(ca, std::string(kKey), true);
    holder->setRequest(ca->originalRequest());
    platform::http::HeaderFields headers;
    if (c.challenge) headers.set("WWW-Authenticate", c.challenge);
    if (c.seconds) headers.set("CA-DISABLE-SECONDS", c.seconds);
    holder->connectionDidReceiveResponse(platform::http::Response("http://ca.example.com/", c.status, headers));

    ASSERT_EQ(delegate_->failures.size(), 1u) << c.status << " " << (c.challenge ? c.challenge : "");
    EXPECT_EQ(delegate_->failures[0], c.status);
    std::int64_t expected = c.nextEnabled < 0 ? -1 : 1577836800000LL + c.nextEnabled;
    EXPECT_EQ(manager().passportCAExternal().loadNextCAEnabledTime(), expected);
    EXPECT_FALSE(lumora::QBPassportRequestMemoryHolder::contains(ca));
    delegate_->failures.clear();
  }
}

// The reply body and the stored cookies are decrypted under the exchange's
// key; plain cookies stay as they are.
TEST_F(CATest, RepliesAndCookiesAreDecrypted) {
  auto& cookies = platform::http::CookieStorage::shared();
  auto encrypted = lumora::AES128RandomIVEncryptWithKey("c-42", kKey);
  ASSERT_TRUE(encrypted);
  for (const auto& [name, value] : {std::pair{"cUserId", *encrypted}, std::pair{"plain", std::string("p")}}) {
    platform::http::Cookie cookie;
    cookie.name = name;
    cookie.value = value;
    cookie.domain = "ca.example.com";
    cookie.path = "/";
    ASSERT_TRUE(cookies.setCookie(cookie));
  }
  auto ca = caRequest("http://ca.example.com/pass/serviceLoginCA");
  auto holder = lumora::QBPassportCAConnectionHolder::initWithCARequest(ca, std::string(kKey), true);
  holder->setRequest(ca->originalRequest());
  holder->connectionDidReceiveResponse(platform::http::Response("http://ca.example.com/", 200, {}));
  holder->connectionDidReceiveData(
      platform::toBytes(*lumora::AES128RandomIVEncryptWithKey("&&&START&&&{\"code\":0,\"a\":1}", kKey)));
  holder->connectionDidFinishLoading();

  ASSERT_EQ(delegate_->loads.size(), 1u);
  EXPECT_EQ(delegate_->loads[0], (platform::Json{{"code", 0}, {"a", 1}}));
  for (const auto& cookie : cookies.cookies()) {
    EXPECT_EQ(cookie.value, cookie.name == "cUserId" ? "c-42" : "p") << cookie.name;
  }
}

}  // namespace
