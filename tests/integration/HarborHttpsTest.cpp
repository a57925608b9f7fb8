// The reporting kits' URL session and HTTPS client against the local
// cloud's HTTPS listener: pinning, retries, response classes and what the
// session reports to its delegate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "harbor/BBXURLSession.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRNetworkClient.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "server/http/CertificateAuthority.h"
#include "server/http/HttpsListener.h"
#include "support/ClockMover.h"
#include "support/Sanitizers.h"

namespace {

using lumora::HBRNetworkClient;
using platform::http::ChallengeDisposition;

struct HarborReply {
  std::optional<platform::Bytes> body;
  std::optional<platform::http::Response> response;
  std::optional<platform::Error> error;
};

class HarborHttps : public ::testing::Test {
 protected:
  void SetUp() override {
    authority_ = localcloud::CertificateAuthority::create("Lumora test root");
    ASSERT_TRUE(authority_);
    serverCertificate_ = authority_->issueServerCertificate("localhost");
    ASSERT_TRUE(serverCertificate_);
    listener_ = std::make_unique<localcloud::HttpsListener>(*serverCertificate_, faults_);
    port_ = listener_->start();
    ASSERT_GT(port_, 0);
    auto der = localcloud::CertificateAuthority::der(authority_->root());
    testRoot_ = lumora::HBRCertificatePinner::createCertificationWithData(der.data(), der.size());
    ASSERT_TRUE(testRoot_);
  }
  void TearDown() override {
    lumora::HBRSetDebugEnabled(false);
    faults_.cancelAll();
    listener_->stop();
  }

  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }

  HarborReply fetch(const std::shared_ptr<HBRNetworkClient>& client, const std::string& path,
                    std::uint64_t retryLimit = 10) {
    platform::http::Request request;
    request.url = url(path);
    auto done = std::make_shared<std::promise<HarborReply>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    client->startDataTaskWithRequest(request, retryLimit,
                                     [done, calls](const auto& body, const auto& response, const auto& error) {
                                       if (calls->fetch_add(1) == 0) done->set_value({body, response, error});
                                     });
    auto future = done->get_future();
    EXPECT_TRUE(clock_ ? testsupport::waitMovingClock(future, *clock_)
                       : future.wait_for(testsupport::scaled(std::chrono::seconds(20))) == std::future_status::ready);
    HarborReply reply = future.get();
    EXPECT_EQ(calls->load(), 1);
    return reply;
  }

  // When set (and current), retries wait on it and fetch moves it on.
  std::shared_ptr<platform::ManualClock> clock_;
  localcloud::FaultInjector faults_;
  std::unique_ptr<localcloud::CertificateAuthority> authority_;
  std::unique_ptr<localcloud::IssuedCertificate> serverCertificate_;
  std::unique_ptr<localcloud::HttpsListener> listener_;
  int port_ = 0;
  lumora::HBRCertificate testRoot_;
};

TEST_F(HarborHttps, PinningAcceptsTheTestRootAndRefusesTheVendorRoots) {
  auto pinnedToTest = HBRNetworkClient::create(nullptr, std::vector<lumora::HBRCertificate>{testRoot_});
  HarborReply accepted = fetch(pinnedToTest, "/settings");
  ASSERT_FALSE(accepted.error) << accepted.error->code();
  EXPECT_EQ(accepted.response->statusCode(), 200);

  ASSERT_FALSE(lumora::HBRPinnedCertificates().empty());
  auto pinnedToVendor = HBRNetworkClient::create(nullptr, lumora::HBRPinnedCertificates());
  HarborReply refused = fetch(pinnedToVendor, "/refused");
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), -999);  // the challenge was cancelled
  EXPECT_EQ(listener_->requestCount("/refused"), 0u);

  // In debug mode the system decides, and it does not know the test root.
  lumora::HBRSetDebugEnabled(true);
  HarborReply unpinned = fetch(pinnedToVendor, "/debug");
  ASSERT_TRUE(unpinned.error);
  EXPECT_NE(unpinned.error->code(), -999);
  EXPECT_EQ(unpinned.error->domain(), "NSURLErrorDomain");
}

TEST_F(HarborHttps, RepliesAreClassifiedAndRetriedWithinTheLimit) {
  clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock_);
  auto client = HBRNetworkClient::create(nullptr, std::vector<lumora::HBRCertificate>{testRoot_});
  localcloud::Fault busy;
  busy.status = 503;
  busy.retryAfterHeader = "soon";  // no number: the kit's own delay
  faults_.set("/busy", busy);
  HarborReply limited = fetch(client, "/busy", 1);
  ASSERT_TRUE(limited.error);
  EXPECT_EQ(limited.error->code(), lumora::kHBRNetworkErrorRetryLimit);
  EXPECT_FALSE(limited.body);
  EXPECT_FALSE(limited.response);
  EXPECT_EQ(listener_->requestCount("/busy"), 2u);

  localcloud::Fault partial;
  partial.status = 203;
  faults_.set("/partial", partial);
  HarborReply failed = fetch(client, "/partial");
  ASSERT_TRUE(failed.error);
  EXPECT_EQ(failed.error->code(), lumora::kHBRNetworkErrorFailedResponse);
  EXPECT_TRUE(failed.body && failed.response);

  localcloud::Fault html;
  html.contentType = "text/html";
  faults_.set("/html", html);
  platform::http::Request request;
  request.url = url("/html");
  request.headers.set("Accept", "application/json");
  std::promise<std::optional<platform::Error>> done;
  client->startDataTaskWithRequest(request, [&](const auto&, const auto&, const auto& error) { done.set_value(error); });
  auto error = done.get_future().get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kHBRNetworkErrorFailedResponse);
}

// Counts the session's hooks; accepts every server chain.
class HarborCountingDelegate : public lumora::BBXURLSessionDelegate {
 public:
  HarborCountingDelegate() {
    didReceiveChallenge = [](lumora::BBXURLSession&, const lumora::BBXURLAuthenticationChallenge& challenge,
                             lumora::BBXChallengeCompletion completion) {
      EXPECT_EQ(challenge.host, "127.0.0.1");
      completion(ChallengeDisposition::UseCredential);
    };
    dataTaskDidReceiveResponse = [this](auto&, auto&, const auto&, auto) { ++calls; };
    dataTaskDidReceiveData = [this](auto&, auto&, const auto&) { ++calls; };
    taskDidCompleteWithError = [this](auto&, auto&, const auto& error) {
      ++calls;
      completed.set_value(error);
    };
  }
  std::atomic<int> calls{0};
  std::promise<std::optional<platform::Error>> completed;
};

TEST_F(HarborHttps, SessionReportsThroughHandlerOrDelegate) {
  auto delegate = std::make_shared<HarborCountingDelegate>();
  auto configuration = lumora::BBXURLSessionConfiguration::defaultSessionConfiguration();
  configuration->HTTPAdditionalHeaders.set("X-Extra", "added");
  auto session = lumora::BBXURLSession::sessionWithConfiguration(configuration, delegate);
  ASSERT_TRUE(session && session->delegateQueue());
  EXPECT_FALSE(lumora::BBXURLSessionConfiguration::backgroundSessionConfiguration("id"));
  EXPECT_FALSE(lumora::BBXURLSession::sessionWithConfiguration(nullptr, delegate));

  platform::http::Request request;
  request.url = url("/echo");
  request.headers.set("X-Extra", "own");
  std::promise<platform::Json> echoed;
  auto task = session->dataTaskWithRequest(request, [&](const auto& body, const auto&, const auto& error) {
    EXPECT_FALSE(error);
    echoed.set_value(platform::Json::parse(platform::toString(body.value_or(platform::Bytes{})), nullptr, false));
  });
  task->resume();
  task->resume();
  auto reply = echoed.get_future().get();
  EXPECT_EQ(reply["headers"]["X-Extra"][0], "own, added");

  // An upload sends the file as its body.
  auto file = std::filesystem::temp_directory_path() / ("harbor-upload-" + std::to_string(port_));
  std::ofstream(file) << "12345";
  platform::http::Request post = request;
  post.method = "POST";
  post.body = platform::toBytes("replaced");
  std::promise<platform::Json> uploaded;
  session
      ->uploadTaskWithRequest(post, file,
                              [&](const auto& body, const auto&, const auto&) {
                                uploaded.set_value(platform::Json::parse(
                                    platform::toString(body.value_or(platform::Bytes{})), nullptr, false));
                              })
      ->resume();
  EXPECT_EQ(uploaded.get_future().get()["headers"]["Content-Length"][0], "5");
  std::filesystem::remove(file);

  // A download with a handler: the file is there in the handler, gone after.
  std::filesystem::path downloaded;
  std::promise<bool> existed;
  auto download = session->downloadTaskWithRequest(request, [&](const auto& file, const auto&, const auto& error) {
    EXPECT_FALSE(error);
    downloaded = file.value_or("");
    existed.set_value(std::filesystem::exists(downloaded));
  });
  download->resume();
  EXPECT_TRUE(existed.get_future().get());
  // The task's queue runs the handler and the removal as one step.
  (void)download->error();
  EXPECT_FALSE(std::filesystem::exists(downloaded));

  // A cancelled task completes once, with -999.
  std::atomic<int> cancelled{0};
  std::promise<std::int64_t> cancelCode;
  auto doomed = session->dataTaskWithRequest(request, [&](const auto&, const auto&, const auto& error) {
    if (cancelled.fetch_add(1) == 0) cancelCode.set_value(error ? error->code() : 0);
  });
  doomed->cancel();
  doomed->resume();
  EXPECT_EQ(cancelCode.get_future().get(), -999);
  EXPECT_EQ(doomed->error()->code(), -999);
  EXPECT_EQ(cancelled.load(), 1);
  EXPECT_EQ(delegate->calls.load(), 0);  // tasks with handlers tell the delegate nothing

  auto plain = session->dataTaskWithRequest(request);
  plain->resume();
  EXPECT_FALSE(delegate->completed.get_future().get());
  EXPECT_EQ(delegate->calls.load(), 3);  // response, data, completion
}

}  // namespace
