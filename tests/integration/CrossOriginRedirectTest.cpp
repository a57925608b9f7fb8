// The app's clients against a local cloud that answers with HTTP redirects
// to a second loopback listener (another port, so another origin) which
// records what reaches it: a sign-in, signed listings and changes, a photo
// download's block list and the analytics, statistics, push and feedback
// uploads send it no cookie, token, key, signature or password; the same
// redirects within the cloud's own origin still work, credentials and all,
// but for an upload's 301, 302 or 303, which would drop its body and is not
// followed; and https never leads to http.
#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "GalleryTestSupport.h"
#include "SignedRequestFixture.h"
#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "feedback/QBLogUtil.h"
#include "harbor/analytics/BBXAnalyticsNetworkingClient.h"
#include "platform/device/Reachability.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/TestServer.h"
#include "push/KoPushNetWorkUtils.h"
#include "server/http/CertificateAuthority.h"
#include "server/http/HttpsListener.h"
#include "server/services/FeedbackService.h"
#include "server/services/StatsService.h"
#include "stats/KoANetworkUtils.h"
#include "support/Sanitizers.h"

namespace {

using signedtest::Json;

// The other origin: answers every request with an empty JSON object and
// keeps, for each, what in it would be a credential.
class OtherOrigin {
 public:
  OtherOrigin() {
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      std::string found;
      for (const char* name : {"Cookie", "Authorization", "X-Blackbox-API-Key", "X-Blackbox-Developer-Token"}) {
        if (req.has_header(name)) found += std::string(name) + " ";
      }
      for (const char* mark : {"pwd=", "passToken", "serviceToken", "signature=", "key-1"}) {
        if (req.body.find(mark) != std::string::npos || req.target.find(mark) != std::string::npos) {
          found += std::string(mark) + " ";
        }
      }
      std::lock_guard lock(mutex_);
      ++requests_;
      if (!found.empty()) credentialed_.push_back(req.method + " " + req.path + ": " + found);
      res.set_content("{}", "application/json");
    };
    (*server_).Get(".*", record);
    (*server_).Post(".*", record);
    server_.start();
  }
  std::string url() const { return server_.url("/landing"); }
  int requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> credentialed() {
    std::lock_guard lock(mutex_);
    return credentialed_;
  }

 private:
  testhttp::TestServer server_;
  std::mutex mutex_;
  int requests_ = 0;
  std::vector<std::string> credentialed_;
};

class CrossOriginRedirectTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    platform::Clock::setCurrent(gallerytest::pacingFreeClock());  // retries wait on it
    SignedRequestCloudTest::SetUp();
  }
  void TearDown() override {
    SignedRequestCloudTest::TearDown();
    platform::Reachability::overrideStatus(std::nullopt);
    platform::Clock::setCurrent(nullptr);
  }

  // Redirects the next request to `path` (all of them when `once` is false).
  void redirect(const std::string& path, int status, const std::string& to, bool once) {
    localcloud::Fault fault;
    fault.status = status;
    fault.location = to;
    fault.times = once ? 1 : -1;
    server_->faults().set(path, fault);
  }

  bool signIn() {
    platform::Status result;
    offMain([&] { result = lumora::QBPassportsManager::sharedManager()->loginForSid("lumora", "alice", "secret", false); });
    return result.ok();
  }
  bool signedCall(const std::string& method, const std::string& path, const Json& parameters) {
    signInWithKnownKey();
    std::optional<platform::Error> error;
    send(method, path, parameters, &error);
    return !error;
  }
  bool blockList() {
    signInWithKnownKey();
    auto gallery = std::make_shared<lumora::LMImageSyncAdapter>();
    offMain([&] { gallery->requestImageDownloadBlocksWithImageID(7); });
    // The cloud holds no image 7: the request went through when the cloud
    // itself, the signature and token accepted, answered that.
    auto served = calls("/lum/gallery/v3/user/10001/full/7/storage");
    return !served.empty() && served.back().userId == signedtest::kUserId && served.back().status == 404;
  }
  bool analyticsUpload() {
    const auto file = home_.root() / "1.log.zip";
    const std::string record = "1\tmetadata\t20\t{\"session_id\":\"s-1\"}\n";
    gzFile packed = gzopen(file.c_str(), "wb");
    gzwrite(packed, record.data(), static_cast<unsigned>(record.size()));
    gzclose(packed);
    const auto uploads = server_->analytics().uploads().size();
    std::promise<platform::Status> sent;
    lumora::BBXAnalyticsNetworkingClient().transmitLogFilesAtURLs(
        {file}, url(localcloud::AnalyticsService::kPath), "key-1",
        [&sent](const platform::Status& status) { sent.set_value(status); });
    auto outcome = sent.get_future();
    EXPECT_EQ(outcome.wait_for(testsupport::scaled(std::chrono::seconds(30))), std::future_status::ready);
    // A success lets the kit remove the fragment: it is one only when the
    // events reached the cloud.
    const bool delivered = server_->analytics().uploads().size() > uploads;
    EXPECT_EQ(outcome.get().ok(), delivered);
    return delivered;
  }

  // A day's points to the statistics service.
  bool statisticsUpload() {
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    const auto received = server_->stats().received().size();
    platform::Json output;
    const std::int32_t code = lumora::KoANetworkUtils(server_->url())
                                  .doPerformRequest(&lumora::KoANetworkUtils::sendStatMessage, kStatsForm, output);
    const bool delivered = server_->stats().received().size() > received;
    EXPECT_EQ(code == 0, delivered) << code;
    return delivered;
  }
  // The push kit's registration of the app user.
  bool pushRegistration() {
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    EXPECT_TRUE(server_->push().addApp({"2882303761517", "5111", "com.quenby.lumora", "ios-secret", "android-secret"}));
    const auto received = server_->push().received(kPushRegisterPath).size();
    platform::Json output;
    lumora::KoPushNetWorkUtils push(server_->url());
    const std::int32_t code = push.doPerformRequest(&lumora::KoPushNetWorkUtils::requestKoPush, kPushForm, output);
    const bool delivered = server_->push().received(kPushRegisterPath).size() > received;
    EXPECT_EQ(code == 0, delivered) << code << " " << output.dump();
    return delivered;
  }
  // The app's log files to the feedback service; delivered when the
  // service keeps their report, and then the logs go.
  bool feedbackUpload() {
    loginThroughAccountService();
    lumora::QBLogUtil::startLog();
    QB_LOG_ERROR("{}", "a line for the feedback service");
    const auto logs = lumora::QBLogUtil::sortedLogFileNames();
    const auto reports = server_->feedback().reports().size();
    bool done = false;
    lumora::QBLogUtil::uploadLogFiles([&] { done = true; });
    EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return done; },
                                                     testsupport::scaled(std::chrono::seconds(60))));
    const bool delivered = server_->feedback().reports().size() > reports;
    EXPECT_FALSE(logs.empty());
    if (!logs.empty()) {
      EXPECT_EQ(!std::filesystem::exists(*lumora::QBLogUtil::getLogDir() / logs.front()), delivered);
    }
    lumora::QBLogUtil::stopLog();
    return delivered;
  }

  static constexpr const char* kPushRegisterPath = "/pass/register";
  const lumora::KoANetworkUtils::Form kStatsForm{
      {"app_id", "1"},       {"app_key", "2"},      {"device_id", "d"},   {"version", "1.0"},
      {"app_package", "com.quenby.lumora"},         {"device_uuid", "d"}, {"app_version", "1.0"},
      {"time", "1"},         {"net_value", "[]"},
      {"stat_value", R"([{"content":[{"category":"c","values":[{"key":"k","type":"event","value":"1"}]}],)"
                     R"("startTS":"1","endTS":"2"}])"}};
  const lumora::KoANetworkUtils::Form kPushForm{
      {"appid", "2882303761517"}, {"apptoken", "5111"}, {"appversion", "1.0"}, {"packagename", "com.quenby.lumora"},
      {"sdkversion", "1.0"},      {"devid", "d-1"},     {"model", "iPhone"},   {"platform", "ios8.0"}};
  OtherOrigin other_;
};

TEST_F(CrossOriginRedirectTest, CredentialsStayWithTheCloudWhereverItRedirects) {
  const std::string listing = "/lum/contact/v3/user/10001/full";
  const Json page{{"syncTag", "0"}, {"limit", "200"}};
  struct Case {
    std::string name;
    std::string path;
    int status;
    std::function<bool()> run;  // true when the call went through
    bool upload = false;        // its body must arrive
  };
  const std::vector<Case> cases = {
      {"password sign-in", "/pass/serviceLoginAuth2", 307, [&] { return signIn(); }},
      {"password sign-in", "/pass/serviceLoginAuth2", 308, [&] { return signIn(); }},
      {"signed listing", listing, 302, [&] { return signedCall("GET", listing, page); }},
      {"signed listing", listing, 307, [&] { return signedCall("GET", listing, page); }},
      {"signed change", "/test/echo/10001", 307,
       [&] { return signedCall("POST", "/test/echo/10001", Json{{"name", "value"}}); }},
      {"photo block list", "/lum/gallery/v3/user/10001/full/7/storage", 302, [&] { return blockList(); }},
      {"analytics upload", localcloud::AnalyticsService::kPath, 307, [&] { return analyticsUpload(); }, true},
      {"analytics upload", localcloud::AnalyticsService::kPath, 302, [&] { return analyticsUpload(); }, true},
      {"analytics upload", localcloud::AnalyticsService::kPath, 303, [&] { return analyticsUpload(); }, true},
      {"statistics upload", localcloud::StatsService::kStatsPath, 301, [&] { return statisticsUpload(); }, true},
      {"push registration", kPushRegisterPath, 302, [&] { return pushRegistration(); }, true},
      {"feedback commit", localcloud::FeedbackService::kCommitPath, 303, [&] { return feedbackUpload(); }, true},
  };
  // An upload whose body a redirect would leave behind (a POST turned into
  // a GET) does not follow it, elsewhere or within the cloud.
  auto dropsBody = [](const Case& c) { return c.upload && c.status < 307; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.status));
    const auto before = other_.credentialed().size();
    redirect(c.path, c.status, other_.url(), false);
    const auto reached = other_.requests();
    const bool delivered = c.run();
    server_->faults().clear(c.path);
    if (dropsBody(c)) {
      EXPECT_FALSE(delivered);
      EXPECT_EQ(other_.requests(), reached);
    }
    auto credentialed = other_.credentialed();
    EXPECT_EQ(credentialed.size(), before) << "first: " << credentialed.back();
  }
  EXPECT_GT(other_.requests(), 0);  // the GETs went there, without credentials
  // Within the cloud's own origin the same redirects are followed with
  // the credentials and bodies they need.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.status) + " within the origin");
    redirect(c.path, c.status, server_->url(), true);
    EXPECT_EQ(c.run(), !dropsBody(c));
    server_->faults().clear(c.path);
  }
}

TEST_F(CrossOriginRedirectTest, HttpsNeverRedirectsToPlainHttp) {
  auto authority = localcloud::CertificateAuthority::create("Lumora test root");
  ASSERT_TRUE(authority);
  auto certificate = authority->issueServerCertificate("localhost");
  ASSERT_TRUE(certificate);
  localcloud::FaultInjector faults;
  localcloud::HttpsListener listener(*certificate, faults);
  const int port = listener.start();
  ASSERT_GT(port, 0);
  localcloud::Fault fault;
  fault.location = other_.url();
  faults.set("/settings", fault);

  platform::http::Request request;
  request.url = "https://localhost:" + std::to_string(port) + "/settings";
  request.serverTrustHandler = [](const platform::http::ServerTrust&) {
    return platform::http::ChallengeDisposition::UseCredential;
  };
  auto reply = platform::http::sendSynchronousRequest(request);
  ASSERT_TRUE(reply.ok()) << reply.error->description();
  EXPECT_EQ(reply.response->statusCode(), 302);
  EXPECT_EQ(other_.requests(), 0);
  listener.stop();
}

}  // namespace
