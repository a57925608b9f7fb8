// The crash reporter's report pipeline over the local cloud, as the report
// tests drive it: the crash-reporting controller's part (both delegates of
// a reports controller, the outcomes it is told kept), and a fixture with
// an app home, the cloud as the report service, the store and a reports
// controller, with crashed launches' reports and urgent tries at them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXNetworkClient.h"
#include "blackbox/BBXPackageReportOperation.h"
#include "blackbox/BBXReportsController.h"
#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"
#include "blackbox/BBXTestContext.h"
#include "harbor/HBRDebug.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/OperationQueue.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace bbxreports {

namespace fs = std::filesystem;
using lumora::BBXNetworkClient;
using lumora::BBXReportsController;

// The crash-reporting controller's part: both delegates, outcomes kept.
class ReportUploadDelegate : public lumora::BBXReportsControllerDelegate, public lumora::BBXNetworkClientDelegate {
 public:
  lumora::BBXSettings settingsForReportsController(BBXReportsController&) override {
    return lumora::BBXSettings(std::nullopt);
  }
  std::optional<std::string> APIKeyForReportsController(BBXReportsController&) override { return "key-1"; }
  std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController&) override {
    return "com.example.app";
  }
  void reportsControllerDidCompletePackageSubmission(BBXReportsController&, const std::string&,
                                                     const std::optional<platform::Error>& error) override {
    std::function<void()> told;
    {
      std::lock_guard lock(mutex);
      outcomes.push_back(error);
      if (waiting) waiting->set_value(error);
      waiting.reset();
      told = onOutcome;
    }
    if (told) told();
  }
  void networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                            const std::optional<platform::Error>& error) override {
    controller->reportUploadAtPath(path, error);
  }
  bool networkClientCanUseBackgroundSessions(BBXNetworkClient&) override { return true; }

  std::future<std::optional<platform::Error>> expectOutcome() {
    std::lock_guard lock(mutex);
    waiting.emplace();
    return waiting->get_future();
  }
  std::size_t outcomeCount() {
    std::lock_guard lock(mutex);
    return outcomes.size();
  }

  BBXReportsController* controller = nullptr;
  std::mutex mutex;
  std::vector<std::optional<platform::Error>> outcomes;
  std::optional<std::promise<std::optional<platform::Error>>> waiting;
  std::function<void()> onOutcome;  // called after each outcome
};

class ReportPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}});
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    useEndpoint(server_->url());
    ASSERT_TRUE(store_.prepareForNewLaunch());
  }
  void TearDown() override {
    lumora::BBXPackageReportOperation::setGzWriteForTesting(nullptr);
    lumora::BBXSerializeSymbolicatedFramesOperation::setCreateForTesting(nullptr);
    lumora::HBRSetDebugEnabled(false);
    controller_.reset();
    client_.reset();
    queue_->waitUntilAllOperationsAreFinished();
    unsetenv("BlackboxReportsEndpoint");
    platform::Bundle::reset();
  }
  void useEndpoint(const std::string& endpoint) {
    setenv("BlackboxReportsEndpoint", endpoint.c_str(), 1);
  }
  void makeController(std::optional<std::vector<lumora::HBRCertificate>> pinned = std::nullopt) {
    client_ = BBXNetworkClient::create(queue_, store_, delegate_, std::move(pinned));
    controller_ = std::make_unique<BBXReportsController>(queue_, delegate_, client_, store_);
    delegate_->controller = controller_.get();
  }
  // A crashed launch's report directory, as the record writer leaves it.
  std::shared_ptr<lumora::BBXInternalReport> writeReport(const std::string& id) {
    auto directory = store_.setupNewPathForExecutionIdentifier(id);
    EXPECT_TRUE(directory);
    return bbxtest::writeCrashedReport(*directory, id);
  }
  // A crashed launch's report with what processing names frames from: the
  // binary images and a crashed thread's stack.
  std::shared_ptr<lumora::BBXInternalReport> writeReportWithThreads(const std::string& id) {
    auto report = writeReport(id);
    std::ofstream(report->binaryImagePath()) << R"({"load":{"uuid":"00","base":4096,"size":4096,"path":"/gone.so"}})"
                                             << "\n";
    std::ofstream(fs::path(report->path()) / "signal.bbxrecord", std::ios::app)
        << R"({"threads":[{"crashed":true,"stacktrace":[5000,5004]}]})" << "\n";
    return report;
  }
  // An urgent try at a report (as at a launch, on this thread), what it
  // logged beside.
  bool launch(const std::shared_ptr<lumora::BBXInternalReport>& report, std::string* said = nullptr) {
    testing::internal::CaptureStderr();
    const bool started = controller_->prepareAndSubmitReport(report, true, true);
    const std::string text = testing::internal::GetCapturedStderr();
    if (said) *said = text;
    return started;
  }
  // The report as a later launch finds it after a try that kept it.
  std::shared_ptr<lumora::BBXInternalReport> keptReport(const std::string& id) {
    return lumora::BBXInternalReport::reportWithPath((fs::path(store_.processingPath()) / id).string());
  }
  // The outcome told, or an error of its own when none came in time.
  static std::optional<platform::Error> outcomeOf(std::future<std::optional<platform::Error>>& future) {
    if (future.wait_for(testsupport::scaled(std::chrono::seconds(20))) != std::future_status::ready) {
      ADD_FAILURE() << "no outcome in time";
      return platform::Error("test", -1);
    }
    return future.get();
  }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  lumora::BBXFileManager store_;
  std::shared_ptr<platform::OperationQueue> queue_ = std::make_shared<platform::OperationQueue>("report-work");
  std::shared_ptr<ReportUploadDelegate> delegate_ = std::make_shared<ReportUploadDelegate>();
  std::shared_ptr<BBXNetworkClient> client_;
  std::unique_ptr<BBXReportsController> controller_;
};

}  // namespace bbxreports
