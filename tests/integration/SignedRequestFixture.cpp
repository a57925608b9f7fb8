#include "SignedRequestFixture.h"

#include <httplib.h>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPErrorHandler.h"
#include "utils/ServiceHosts.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/CookieStorage.h"
#include "support/Sanitizers.h"

namespace signedtest {
namespace {

using localcloud::SignedReply;
using localcloud::SignedRequest;

SignedReply echo(const SignedRequest& req) {
  Json files = Json::array();
  for (const auto& [name, file] : req.http.files) {
    files.push_back({{"name", name},
                     {"filename", file.filename},
                     {"contentType", file.content_type},
                     {"content", file.content}});
  }
  return SignedReply::ok({{"method", req.method},
                          {"path", req.path},
                          {"params", req.params},
                          {"files", files},
                          {"redirectCount", req.http.get_header_value("X-QUENBY-REDIRECT-COUNT")}});
}

}  // namespace

void SignedRequestCloudTest::SetUp() {
  platform::UserDefaults::resetStandardForTesting();
  platform::http::CookieStorage::shared().deleteAllCookies();
  platform::Application::shared().resetForTesting();
  lumora::LMHTTPErrorHandler::defaultHandler().clearAllErrors();

  std::string error;
  server_ = localcloud::CloudServer::create(home_.root() / "cloud", &error);
  ASSERT_TRUE(server_) << error;
  auto& endpoints = server_->signedEndpoints();
  endpoints.get("/test/echo/{userId}", "lumora", echo);
  endpoints.post("/test/echo/{userId}", "lumora", echo);
  endpoints.post("/test/upload/{userId}", "lumora", echo);
  ASSERT_TRUE(server_->start(0, &error)) << error;
  lumora::ServiceHosts::setAll(server_->url());
  ASSERT_TRUE(server_->seedAccount(kUserId, "alice", "secret", {}, &error)) << error;

  adapter_ = std::make_shared<lumora::LMSyncAdapter>();
  adapter_->setHostList(std::nullopt);
}

void SignedRequestCloudTest::TearDown() {
  lumora::QBPassportsManager::sharedManager()->logOut();
  lumora::QBPassportsManager::sharedManager()->setUserId(std::nullopt);
  lumora::LMHTTPErrorHandler::defaultHandler().clearAllErrors();
  if (adapter_) adapter_->setHostList(std::nullopt);
  platform::MainQueue::main().runUntilIdle();
  if (server_) server_->stop();
  lumora::ServiceHosts::reset();
  platform::Application::shared().resetForTesting();
  platform::http::CookieStorage::shared().deleteAllCookies();
  platform::UserDefaults::resetStandardForTesting();
}

void SignedRequestCloudTest::offMain(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  bool finished = platform::MainQueue::main().runUntil([&] { return done.load(); },
                                                       testsupport::scaled(std::chrono::milliseconds(60000)));
  worker.join();
  ASSERT_TRUE(finished) << "the work did not end in time";
  platform::MainQueue::main().runUntilIdle();
}

void SignedRequestCloudTest::loginThroughAccountService() {
  platform::Status result;
  offMain([&] {
    result = lumora::QBPassportsManager::sharedManager()->loginForSid("lumora", "alice", "secret", false);
  });
  ASSERT_TRUE(result.ok()) << result.error().description();
  auto passport = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora");
  ASSERT_TRUE(passport && passport->isSessionValid());
}

void SignedRequestCloudTest::signInWithKnownKey() {
  localcloud::LoginGrant grant;
  grant.userId = kUserId;
  grant.serviceId = "lumora";
  grant.ssecurity = kKnownKey;
  std::string token = server_->store().issueServiceToken(grant);
  auto manager = lumora::QBPassportsManager::sharedManager();
  manager->setUserId(kUserIdText);
  auto passport = manager->passportForSid("lumora", kUserIdText);
  ASSERT_TRUE(passport);
  passport->setServiceToken(token);
  passport->setSSecurity(kKnownKey);
}

std::shared_ptr<lumora::LMHTTPRequestOperation> SignedRequestCloudTest::send(
    const std::string& method, const std::string& path, const std::optional<Json>& parameters,
    std::optional<platform::Error>* error, const std::string& sid) {
  std::shared_ptr<lumora::LMHTTPRequestOperation> operation;
  offMain([&] { operation = adapter_->requestWithMethod(method, url(path), parameters, sid); });
  if (error) *error = operation ? operation->error() : std::nullopt;
  return operation;
}

std::vector<localcloud::SignedCall> SignedRequestCloudTest::calls(const std::string& path) const {
  std::vector<localcloud::SignedCall> out;
  for (const auto& call : server_->signedEndpoints().recentCalls()) {
    if (call.path == path) out.push_back(call);
  }
  return out;
}

}  // namespace signedtest
