#include <gtest/gtest.h>

#include "AccountTestSupport.h"
#include "account/KPCookieUtil.h"
#include "account/KPIdentifierAddition.h"
#include "account/KPPassportRequestDelegateInterface.h"
#include "account/KPQBPreferenceUtil.h"
#include "account/KPSessionDelegateInterface.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassport.h"
#include "utils/ServiceHosts.h"
#include "platform/http/CookieStorage.h"

namespace {

using lumora::KPCookieUtil;
using lumora::KPQBPreferenceUtil;
using lumora::QBPassport;
using lumora::ServiceHosts;
using platform::Json;

class Session : public accounttest::AccountTest {
 protected:
  Session() { ServiceHosts::set(ServiceHosts::kAccount, "https://account.example.com"); }

  // A signed-in session of user 123 for the sid "lumora".
  std::shared_ptr<QBPassport> signedIn() {
    auto passport = QBPassport::initWithUserId("123", "lumora", {});
    passport->setPassToken("pass-1");
    passport->setServiceToken("service-1");
    passport->setSSecurity("security-1");
    passport->setCallbackUrl("https://account.example.com/sts?sid=lumora");
    passport->setNonce(987654321012345LL);
    passport->setCUserId("c-123");
    return passport;
  }
};

TEST_F(Session, NewSessionState) {
  auto passport = QBPassport::initWithUserId("123", "lumora", {});
  EXPECT_EQ(passport->uniqueIdentifier(), "123@lumora");
  EXPECT_EQ(passport->callbackUrl(), "");
  EXPECT_TRUE(passport->allowUIDuringReLogin());
  EXPECT_FALSE(passport->forTest());
  EXPECT_FALSE(passport->isSessionValid());
  EXPECT_EQ(passport->nonce(), 0);
  EXPECT_EQ(passport->deviceId(), QBPassport::uniqueDeviceId());
  EXPECT_EQ(passport->deviceId()->size(), 16u);
  // Only the user id went into a cookie, for the account cookie domain.
  auto cookies = KPCookieUtil::getAllSharedCookies();
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0].name, "userId");
  EXPECT_EQ(cookies[0].value, "123");
  EXPECT_EQ(cookies[0].domain, ".account.example.com");

  auto empty = QBPassport::init();
  EXPECT_FALSE(empty->uniqueIdentifier());
  EXPECT_FALSE(empty->userId());

  passport->setDeviceId("dev-9");
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("deviceId"), "dev-9");
}

TEST_F(Session, ValidityNeedsAllThreeTokens) {
  auto passport = signedIn();
  EXPECT_TRUE(passport->isSessionValid());
  passport->setServiceToken("");
  EXPECT_FALSE(passport->isSessionValid());
  passport->setServiceToken("s");
  passport->setPassToken(std::nullopt);
  EXPECT_FALSE(passport->isSessionValid());
}

TEST_F(Session, SavesServiceValuesPerServiceAndAccountValuesPerUser) {
  auto passport = signedIn();
  passport->saveToLocalSettings();
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kServiceTokenKey, "123@lumora"), Json("service-1"));
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kSSecurityKey, "123@lumora"), Json("security-1"));
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kCallbackKey, "123@lumora"),
            Json("https://account.example.com/sts?sid=lumora"));
  EXPECT_EQ(KPQBPreferenceUtil::getLongLongKey(QBPassport::kNonceKey, "123@lumora"), 987654321012345LL);
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kPassTokenKey, "123"), Json("pass-1"));
  // cUserId is stored only when the app asked for it.
  EXPECT_FALSE(KPQBPreferenceUtil::getKey(QBPassport::kCUserIdKey, "123"));

  // A new process restores the session.
  platform::http::CookieStorage::shared().deleteAllCookies();
  auto restored = QBPassport::initWithUserId("123", "lumora", {});
  EXPECT_TRUE(restored->loadFromLocalSettings());
  EXPECT_TRUE(restored->isSessionValid());
  EXPECT_EQ(restored->passToken(), "pass-1");
  EXPECT_EQ(restored->serviceToken(), "service-1");
  EXPECT_EQ(restored->sSecurity(), "security-1");
  EXPECT_EQ(restored->callbackUrl(), "https://account.example.com/sts?sid=lumora");
  EXPECT_EQ(restored->nonce(), 987654321012345LL);
  EXPECT_FALSE(restored->cUserId());
  EXPECT_EQ(KPCookieUtil::getSharedCookiesValueForKey("passToken"), "pass-1");

  // The same user under another sid shares the pass token only.
  auto other = QBPassport::initWithUserId("123", "gallery", {});
  EXPECT_FALSE(other->loadFromLocalSettings());
  EXPECT_EQ(other->passToken(), "pass-1");
  EXPECT_FALSE(other->serviceToken());
}

TEST_F(Session, EncryptedUserIdIsKeptOnlyWhenAskedFor) {
  KPQBPreferenceUtil::setKey(QBPassport::kCUserIdKey, Json("older"), "123", true);
  auto passport = signedIn();
  passport->saveToLocalSettings();
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kCUserIdKey, "123"), Json("older"));
  passport->setUserIdNeedEncrypt(true);
  passport->saveToLocalSettings();
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kCUserIdKey, "123"), Json("c-123"));
  auto restored = QBPassport::initWithUserId("123", "lumora", {});
  restored->loadFromLocalSettings();
  EXPECT_EQ(restored->cUserId(), "c-123");
}

TEST_F(Session, WithoutUserIdAndSidNothingIsSavedOrLoaded) {
  auto passport = QBPassport::initWithUserId("123", std::nullopt, {});
  passport->setPassToken("p");
  passport->setServiceToken("s");
  passport->saveToLocalSettings();
  EXPECT_FALSE(platform::UserDefaults::standard().hasKey(QBPassport::kPassTokenKey));
  EXPECT_FALSE(platform::UserDefaults::standard().hasKey(QBPassport::kNonceKey));
  EXPECT_FALSE(passport->loadFromLocalSettings());
  EXPECT_EQ(passport->passToken(), "p");  // unchanged

  auto noUser = QBPassport::initWithUserId("", "lumora", {});
  EXPECT_FALSE(noUser->uniqueIdentifier());
  EXPECT_FALSE(noUser->loadFromLocalSettings());
}

TEST_F(Session, LogoutClearsTokensCookiesAndSavedValuesButKeepsIck) {
  auto passport = signedIn();
  passport->saveToLocalSettings();
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("captcha-session", "ick", ".account.example.com"));
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("x", "ickAnother", "cloud.example.com"));
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("svc", "serviceToken", "cloud.example.com"));
  ASSERT_TRUE(KPCookieUtil::setSharedCookiesValue("q", "quick", ".account.example.com"));
  ASSERT_EQ(KPCookieUtil::getSharedCookiesValueForKey("passToken"), "pass-1");

  passport->logOut();
  EXPECT_FALSE(passport->isSessionValid());
  EXPECT_FALSE(passport->passToken());
  EXPECT_FALSE(passport->serviceToken());
  EXPECT_FALSE(passport->sSecurity());
  EXPECT_EQ(passport->nonce(), 0);
  EXPECT_EQ(passport->userId(), "123");
  EXPECT_EQ(passport->sid(), "lumora");

  std::vector<std::string> names;
  for (const auto& cookie : KPCookieUtil::getAllSharedCookies()) names.push_back(cookie.name);
  EXPECT_EQ(names, (std::vector<std::string>{"ick", "ickAnother"}));

  // What was saved now reads as empty, which no session accepts.
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kServiceTokenKey, "123@lumora"), Json(""));
  EXPECT_EQ(KPQBPreferenceUtil::getKey(QBPassport::kPassTokenKey, "123"), Json(""));
  auto later = QBPassport::initWithUserId("123", "lumora", {});
  EXPECT_FALSE(later->loadFromLocalSettings());
  EXPECT_FALSE(later->isSessionValid());
  EXPECT_EQ(later->nonce(), 0);
}

TEST_F(Session, AccountEndpointAndLoginMetadata) {
  ServiceHosts::set(ServiceHosts::kAccountPreview, "http://preview.example.com");
  auto passport = QBPassport::initWithUserId("1", "lumora", {});
  EXPECT_EQ(passport->strAccountDomain(), "https://account.example.com");
  passport->setForTest(true);
  EXPECT_EQ(passport->strAccountDomain(), "http://preview.example.com");

  passport->loginRuntimeMetaData().updateWithSid("s", "qs", "sign", "cb");
  passport->resetLoginRuntimeMetaData();
  auto& meta = passport->loginRuntimeMetaData();
  EXPECT_EQ(meta.sid(), "lumora");
  EXPECT_FALSE(meta.qs());
  EXPECT_FALSE(meta.sign());
  EXPECT_EQ(meta.callback(), "");

  meta.resetWithSid(std::nullopt, "c");
  EXPECT_EQ(meta.sid(), "passport");
  meta.resetWithSid("", std::nullopt);
  EXPECT_EQ(meta.sid(), "passport");
  EXPECT_FALSE(meta.callback());
  meta.updateWithSid(std::nullopt, "q", std::nullopt, "c2");
  EXPECT_FALSE(meta.sid());
  EXPECT_EQ(meta.qs(), "q");
}

// A session whose relogin only counts how often it was asked for.
class CountingPassport : public lumora::QBLoginPassport {
 public:
  using QBLoginPassport::QBLoginPassport;
  void reLogin() override { ++relogins; }
  int relogins = 0;
};

class ServiceTokenHelpers : public Session {};

TEST_F(ServiceTokenHelpers, A401RetriesOnlyWhenAskedTo) {
  auto passport = signedIn();
  int retries = 0;
  std::vector<std::int64_t> failures;
  Json fetched;
  auto fail = [&](const platform::Error& e) { failures.push_back(e.code()); };

  auto once = QBPassport::buildRequestDelegateForST(
      passport, false, [&] { ++retries; }, fail, [&](const auto&, const Json& reply) { fetched = reply; });
  EXPECT_FALSE(once->requestLoading == nullptr);  // the adapter answers everything
  once->requestDidFailWithError(nullptr, platform::Error(QBPassport::kErrorDomain, 401));
  EXPECT_EQ(failures, (std::vector<std::int64_t>{401}));
  EXPECT_EQ(passport->serviceToken(), "service-1");

  auto retrying = QBPassport::buildRequestDelegateForST(passport, true, [&] { ++retries; }, fail, nullptr);
  retrying->requestDidFailWithError(nullptr, platform::Error(QBPassport::kErrorDomain, 500));
  EXPECT_EQ(failures.size(), 2u);
  EXPECT_EQ(retries, 0);
  retrying->requestDidFailWithError(nullptr, platform::Error("NSURLErrorDomain", 401));
  EXPECT_EQ(retries, 1);
  EXPECT_EQ(failures.size(), 2u);
  EXPECT_FALSE(passport->serviceToken());
  EXPECT_FALSE(passport->sSecurity());
  EXPECT_EQ(passport->passToken(), "pass-1");

  once->requestDidLoad(nullptr, Json{{"code", 0}});
  EXPECT_EQ(fetched, (Json{{"code", 0}}));
  retrying->requestDidLoad(nullptr, Json{{"code", 0}});  // no fetch callback: nothing happens
}

TEST_F(ServiceTokenHelpers, FetchingUsesAValidTokenAtOnceOrLogsInAgain) {
  auto passport = std::make_shared<CountingPassport>("123", "lumora", std::weak_ptr<lumora::KPSessionDelegate>());
  passport->setPassToken("pass-1");
  passport->setServiceToken("service-1");
  passport->setSSecurity("security-1");

  std::vector<std::string> consumed;
  std::vector<std::int64_t> failures;
  auto fetch = QBPassport::getBlockToFetchServiceTokenAndUseIt(
      passport,
      [&](const auto& user, const auto& token, const auto& security) {
        consumed.push_back(user.value_or("-") + "|" + token.value_or("-") + "|" + security.value_or("-"));
      },
      [&](const platform::Error& e) { failures.push_back(e.code()); });
  EXPECT_TRUE(consumed.empty());  // nothing runs before the callback does

  fetch();
  EXPECT_EQ(consumed, (std::vector<std::string>{"123|service-1|security-1"}));
  EXPECT_EQ(passport->relogins, 0);
  auto delegate = passport->strongSessionDelegateMemoryHolder();
  ASSERT_TRUE(delegate);
  EXPECT_EQ(passport->sessionDelegate(), delegate);

  // A token without its security key is not enough: log in again.
  passport->setSSecurity("");
  fetch();
  EXPECT_EQ(passport->relogins, 1);
  EXPECT_EQ(consumed.size(), 1u);
  // The relogin's outcome reaches the consumer or the fail callback through
  // the session delegate.
  passport->setSSecurity("security-2");
  delegate->passportDidLogin(passport);
  EXPECT_EQ(consumed.back(), "123|service-1|security-2");
  delegate->passportFailedWithError(passport, platform::Error(QBPassport::kErrorDomain, -103));
  EXPECT_EQ(failures, (std::vector<std::int64_t>{-103}));
  // A relogin that finds the session expired (no pass token) is a failure
  // too: the caller used to wait for an answer that never came.
  delegate->passportPassSessionInvalidOrExpired(passport, platform::Error(QBPassport::kErrorDomain, -103));
  EXPECT_EQ(failures, (std::vector<std::int64_t>{-103, -103}));
  delegate->passportWillShowWebView();
}

TEST_F(ServiceTokenHelpers, CookiesForAServiceCall) {
  auto cookies = QBPassport::buildCookiesForST("https://api.example.com/user/coreInfo", "123", "tok");
  ASSERT_EQ(cookies.size(), 2u);
  EXPECT_EQ(cookies[0].name, "userId");
  EXPECT_EQ(cookies[0].value, "123");
  EXPECT_EQ(cookies[1].name, "serviceToken");
  EXPECT_EQ(cookies[1].value, "tok");
  for (const auto& cookie : cookies) {
    EXPECT_EQ(cookie.domain, "api.example.com");
    EXPECT_EQ(cookie.path, "/");
  }
  EXPECT_EQ(QBPassport::buildCookiesForST("https://api.example.com/", std::nullopt, "tok").size(), 1u);
  EXPECT_TRUE(QBPassport::buildCookiesForST("no url", "1", "t").empty());
}

TEST_F(ServiceTokenHelpers, AdaptersPassEachMessageToItsCallback) {
  std::vector<std::string> calls;
  lumora::KPPassportRequestDelegateInterface requestAdapter(
      [&](const auto&) { calls.push_back("loading"); },
      [&](const auto&, const platform::http::Response& r) { calls.push_back("response " + std::to_string(r.statusCode())); },
      [&](const auto&, const platform::Error& e) { calls.push_back("fail " + std::to_string(e.code())); },
      [&](const auto&, const Json& reply) { calls.push_back("load " + reply.dump()); },
      [&](const auto&, const platform::Bytes& data) { calls.push_back("raw " + platform::toString(data)); });
  requestAdapter.requestLoading(nullptr);
  requestAdapter.requestDidReceiveResponse(nullptr, platform::http::Response("http://h/", 204, {}));
  requestAdapter.requestDidFailWithError(nullptr, platform::Error("d", 7));
  requestAdapter.requestDidLoad(nullptr, Json("text"));
  requestAdapter.requestDidLoadRawResponse(nullptr, platform::toBytes("abc"));
  EXPECT_EQ(calls, (std::vector<std::string>{"loading", "response 204", "fail 7", "load \"text\"", "raw abc"}));

  calls.clear();
  lumora::KPSessionDelegateInterface sessionAdapter(
      [&](const auto&) { calls.push_back("login"); },
      [&](const auto&, const platform::Error& e) { calls.push_back("failed " + std::to_string(e.code())); },
      [&](const auto&, const platform::Error& e) { calls.push_back("expired " + std::to_string(e.code())); },
      [&](const auto&) { calls.push_back("ticket"); }, [&] { calls.push_back("web"); });
  sessionAdapter.passportDidLogin(nullptr);
  sessionAdapter.passportFailedWithError(nullptr, platform::Error("d", 1));
  sessionAdapter.passportPassSessionInvalidOrExpired(nullptr, platform::Error("d", -103));
  sessionAdapter.passportDidSendPhoneTicket(nullptr);
  sessionAdapter.passportWillShowWebView();
  EXPECT_EQ(calls, (std::vector<std::string>{"login", "failed 1", "expired -103", "ticket", "web"}));
}

}  // namespace
