// The settings download and the analytics upload against a server that
// misbehaves: documents a reader would choke on, bodies past the bound or
// cut short, and redirects to another host. Only a sound document is ever
// stored, no download leaves a file behind, and the kits' credentials never
// reach a host they were not meant for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>

#include "harbor/BBXURLSessionTask.h"
#include "harbor/HBRDownloadAndSaveSettingsOperation.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "harbor/HBRSettings.h"
#include "harbor/analytics/BBXAnalyticsNetworkingClient.h"
#include "platform/http/TestServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStoredSettings = R"({"app":{"status":"activated"},"v":1})";

class HostileSettingsDelegate : public HBRDownloadAndSaveSettingsOperationDelegate {
 public:
  void operationDidDownloadAndSaveSettings(HBRDownloadAndSaveSettingsOperation&,
                                           const std::optional<platform::Error>& error) override {
    done.set_value(error);
  }
  std::promise<std::optional<platform::Error>> done;
};

class HBRHostileServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The system's temporary folder, as a download would find it: this
    // test's own, so that what lands there can be seen.
    if (const char* previous = std::getenv("TMPDIR")) previousTmp_ = previous;
    fs::create_directories(systemTmp_);
    setenv("TMPDIR", systemTmp_.c_str(), 1);

    const std::string deep = R"({"a":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::string huge(2u << 20, ' ');
    (*server_).Get("/deep", [deep](const auto&, auto& res) { res.set_content(deep, "application/json"); });
    (*server_).Get("/array", [](const auto&, auto& res) { res.set_content("[1,2]", "application/json"); });
    (*server_).Get("/huge", [huge](const auto&, auto& res) { res.set_content(huge, "application/json"); });
    (*server_).Get("/huge-chunked", [](const auto&, auto& res) {
      res.set_chunked_content_provider("application/json", [](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= (4u << 20)) {
          sink.done();
          return true;
        }
        const std::string chunk(64u << 10, ' ');
        return sink.write(chunk.data(), chunk.size());
      });
    });
    (*server_).Get("/cut", [](const auto&, auto& res) {
      res.set_content_provider(1000, "application/json", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset > 0) return false;  // the connection drops part way
        return sink.write(R"({"app":)", 7);
      });
    });
    (*server_).Get("/good", [](const auto&, auto& res) {
      res.set_content(R"({"app":{"status":"activated"},"v":2})", "application/json");
    });
    (*server_).Get("/away", [this](const auto&, auto& res) { res.set_redirect(other_.url("/good"), 302); });
    (*server_).Get("/here", [](const auto&, auto& res) { res.set_redirect("/good", 302); });
    (*server_).Post("/upload-away", [this](const auto&, auto& res) { res.set_redirect(other_.url("/upload"), 307); });
    for (const char* pattern : {"/good", "/upload"}) {
      (*other_).Get(pattern, [this](const auto& req, auto& res) {
        countOtherRequest(req);
        res.set_content(R"({"app":{"status":"activated"},"v":3})", "application/json");
      });
      (*other_).Post(pattern, [this](const auto& req, auto& res) {
        countOtherRequest(req);
        res.set_content("{}", "application/json");
      });
    }
    server_.start();
    other_.start();
    fs::create_directories(settingsDirectory_);
    std::ofstream(settingsFile_) << kStoredSettings;
  }
  void TearDown() override {
    if (previousTmp_) setenv("TMPDIR", previousTmp_->c_str(), 1);
    else unsetenv("TMPDIR");
  }

  std::optional<platform::Error> download(const std::string& path) {
    auto delegate = std::make_shared<HostileSettingsDelegate>();
    auto outcome = delegate->done.get_future();
    HBRDownloadAndSaveSettingsOperation::Parameters parameters;
    parameters.APIKey = "key-1";
    parameters.delegate = delegate;
    parameters.settingsURL = server_.url(path);
    parameters.settingsDirectoryPath = settingsDirectory_;
    parameters.settingsFilePath = settingsFile_;
    parameters.installIdentifier = "install-1";
    parameters.networkClient = client_;
    HBRDownloadAndSaveSettingsOperation::create(parameters)->start();
    EXPECT_EQ(outcome.wait_for(testsupport::scaled(std::chrono::seconds(20))), std::future_status::ready) << path;
    return outcome.get();
  }
  std::string stored() const {
    std::ifstream in(settingsFile_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Files a download left: in the kit's own folder or the system's.
  std::size_t leftovers() const {
    std::size_t count = 0;
    for (const fs::path& folder : {BBXURLSessionDownloadTask::temporaryDirectory(), systemTmp_}) {
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
    }
    return count;
  }

  testsupport::TestHome home_;
  const fs::path systemTmp_ = home_.root() / "system-tmp";
  std::optional<std::string> previousTmp_;
  const fs::path settingsDirectory_ = home_.root() / "settings";
  const fs::path settingsFile_ = settingsDirectory_ / "settings.json";
  void countOtherRequest(const httplib::Request& req) {
    ++otherRequests_;
    for (const char* name : {"X-Blackbox-API-Key", "X-Blackbox-Developer-Token", "X-Blackbox-Installation-ID"}) {
      if (req.has_header(name)) ++otherCredentials_;
    }
  }

  testhttp::TestServer server_;
  testhttp::TestServer other_;
  std::atomic<int> otherRequests_{0};
  std::atomic<int> otherCredentials_{0};
  std::shared_ptr<HBRNetworkClient> client_ = HBRNetworkClient::create();
};

TEST_F(HBRHostileServerTest, OnlyASoundSettingsDocumentIsStoredAndNoDownloadLeavesAFile) {
  struct Case {
    const char* path;
    std::optional<std::int64_t> code;  // the refusal's, when it is not a transport's own
    bool stored;
  };
  const Case cases[] = {
      {"/deep", -4, false},             // nested far deeper than any reader allows
      {"/array", -4, false},            // no object
      {"/huge", -1103, false},          // announced past the bound
      {"/huge-chunked", -1103, false},  // grows past it
      {"/cut", std::nullopt, false},    // cut short
      {"/good", std::nullopt, true},
  };
  for (const Case& c : cases) {
    const auto error = download(c.path);
    EXPECT_EQ(leftovers(), 0u) << c.path;
    EXPECT_EQ(!error, c.stored) << c.path;
    if (error && c.code) {
      EXPECT_EQ(error->code(), *c.code) << c.path;
    }
    EXPECT_EQ(stored(), c.stored ? R"({"app":{"status":"activated"},"v":2})" : kStoredSettings) << c.path;
  }
}

TEST_F(HBRHostileServerTest, RedirectsToAnotherHostCarryNoCredentials) {
  // Another host (here: another port) is asked without the kit's key,
  // tokens or installation id; its document is what the kit was sent to.
  EXPECT_FALSE(download("/away"));
  EXPECT_EQ(stored(), R"({"app":{"status":"activated"},"v":3})");
  EXPECT_FALSE(download("/here"));
  EXPECT_EQ(stored(), R"({"app":{"status":"activated"},"v":2})");

  // An upload's body is not sent to another host again.
  const fs::path events = home_.root() / "2.log.zip";
  std::ofstream(events) << "events";
  std::promise<platform::Status> sent;
  BBXAnalyticsNetworkingClient().transmitLogFilesAtURLs({events}, server_.url("/upload-away"), "key-1",
                                                        [&sent](const platform::Status& status) { sent.set_value(status); });
  auto outcome = sent.get_future();
  ASSERT_EQ(outcome.wait_for(testsupport::scaled(std::chrono::seconds(20))), std::future_status::ready);
  EXPECT_FALSE(outcome.get().ok());
  EXPECT_EQ(otherRequests_, 1);
  EXPECT_EQ(otherCredentials_, 0);
}

}  // namespace
}  // namespace lumora
