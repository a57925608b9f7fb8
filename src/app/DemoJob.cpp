#include "app/DemoJob.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "app/AppLogDelegate.h"
#include "app/QBLogUtil.h"
#include "cloud/lumora/LMContactSyncAdapter.h"
#include "cloud/lumora/LMSyncAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/ConcurrentQueue.h"
#include "platform/MainQueue.h"

namespace lumora {
namespace {

constexpr const char* kCloudSid = "lumora";

// Forwards the SDK's log lines into the app's log files, as the app's own
// sink does, and prints them: errors, warnings and (when verbose) info;
// debug and verbose are dropped.
class PrintingLogSink : public AppLogDelegate {
 public:
  PrintingLogSink(std::FILE* out, bool verbose) {
    logLevel = verbose ? kLMLogFlagInfo : kLMLogFlagWarning;
    appendLogMessage = [out, verbose](const LMLogMessage& message) {
      appendLogMessageToAppLog(message);
      static constexpr const char* kLevels[] = {"", "error", "warning", "info"};
      auto flag = message.flag();
      if (flag < 1 || flag > 3 || (flag == 3 && !verbose)) return;
      std::fprintf(out, "      [sdk %s] %s\n", kLevels[flag], message.message().c_str());
    };
  }
};

std::string present(const std::optional<std::string>& value) {
  if (!value || value->empty()) return "missing";
  return "received (" + std::to_string(value->size()) + " characters)";
}

}  // namespace

DemoJob::DemoJob(DemoOptions options, std::FILE* out) : options_(std::move(options)), out_(out) {}

void DemoJob::step(const std::string& text) {
  std::fprintf(out_, "[%d] %s\n", ++stepNumber_, text.c_str());
  std::fflush(out_);
}

void DemoJob::outcome(bool ok, const std::string& text) {
  std::fprintf(out_, "    %s %s\n", ok ? "ok:" : "FAILED:", text.c_str());
  std::fflush(out_);
}

int DemoJob::run() {
  platform::MainQueue::main().bindToCurrentThread();
  QBLogUtil::startLog();
  auto sink = std::make_shared<PrintingLogSink>(out_, options_.verbose);
  LMLogUtil::setLogDelegate(sink);

  std::fprintf(out_, "Lumora client, cloud at %s\n", ServiceHosts::baseURL(ServiceHosts::kAccount).c_str());
  adapter_ = std::make_shared<LMSyncAdapter>();
  contacts_ = LMContactSyncAdapter::sharedAdapter();
  bool ok = signIn() && relocate() && registerDevice() && listDevices() && seedAddressBook() &&
            syncContacts("Syncing the contacts") && syncContacts("Syncing again (nothing changed)") &&
            compareWithCloud();
  LMLogUtil::setLogDelegate(nullptr);
  std::fprintf(out_, ok ? "Done.\n" : "Stopped after a failure.\n");
  return ok ? 0 : 1;
}

bool DemoJob::signIn() {
  auto manager = QBPassportsManager::sharedManager();
  step("Signing in to the account service as \"" + options_.login + "\" for service \"" +
       kCloudSid + "\"");
  std::atomic<bool> finished{false};
  platform::Status failure;
  manager->loginForSid(kCloudSid, options_.login, options_.password, false,
                       [&](const platform::Status& result) {
                         failure = result;
                         finished = true;
                       });
  bool done = platform::MainQueue::main().runUntil([&] { return finished.load(); },
                                                   std::chrono::seconds(60));
  if (!done) {
    outcome(false, "no answer from the account service within 60 s");
    return false;
  }
  if (!failure.ok()) {
    outcome(false, failure.error().description());
    return false;
  }
  auto passport = manager->passportForSid(kCloudSid);
  outcome(true, "signed in as user " + passport->userId().value_or("?"));
  std::fprintf(out_, "      pass token %s\n", present(passport->passToken()).c_str());
  std::fprintf(out_, "      service token %s\n", present(passport->serviceToken()).c_str());
  std::fprintf(out_, "      security key %s\n", present(passport->sSecurity()).c_str());
  return true;
}

bool DemoJob::offMain(const std::function<void()>& work) {
  std::atomic<bool> finished{false};
  platform::globalQueue().async([&] {
    work();
    finished = true;
  });
  return platform::MainQueue::main().runUntil([&] { return finished.load(); },
                                              std::chrono::minutes(5));
}

bool DemoJob::relocate() {
  step("Asking the relocation service for this user's cloud hosts");
  std::shared_ptr<LMHTTPRequestOperation> operation;
  offMain([&] { operation = adapter_->requestHostListWithRomCountry(std::nullopt); });
  if (auto error = operation ? operation->error() : std::nullopt) {
    outcome(false, error->description());
    return false;
  }
  auto hosts = adapter_->hostList();
  outcome(true, hosts.empty() ? std::string("no relocation: the default hosts stay in use")
                              : "host list " + hosts.dump());
  return true;
}

bool DemoJob::registerDevice() {
  step("Signing in to the device-information service and registering this device");
  std::atomic<bool> finished{false};
  platform::Status failure;
  adapter_->registerDeviceInfo([&](const platform::Status& result) {
    failure = result;
    finished = true;
  });
  if (!platform::MainQueue::main().runUntil([&] { return finished.load(); }, std::chrono::minutes(5))) {
    outcome(false, "no answer within 5 minutes");
    return false;
  }
  if (!failure.ok()) {
    outcome(false, failure.error().description());
    return false;
  }
  outcome(true, "device registered");
  return true;
}

bool DemoJob::listDevices() {
  step("Listing the devices registered to this account");
  std::shared_ptr<LMHTTPRequestOperation> operation;
  offMain([&] { operation = adapter_->requestAllDeviceInfo(); });
  auto reply = operation ? operation->result() : platform::Result<platform::Json>(platform::Json());
  if (!reply.ok() || !reply->is_object()) {
    outcome(false, reply.ok() ? std::string("empty reply") : reply.error().description());
    return false;
  }
  auto list = reply->value("data", platform::Json::object()).value("list", platform::Json::array());
  outcome(true, std::to_string(list.size()) + " device(s)");
  for (const auto& device : list) {
    std::fprintf(out_, "      %s\n", device.dump().c_str());
  }
  return true;
}

}  // namespace lumora
