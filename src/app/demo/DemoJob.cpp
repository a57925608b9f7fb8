#include "app/demo/DemoJob.h"

#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMCustomUtils.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "applog/AppLogDelegate.h"
#include "feedback/QBLogUtil.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMSyncAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"

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

// What a step's work hands back. Shared with the work, which may end after
// the step stopped waiting for it.
template <typename T>
struct Handoff {
  std::mutex mutex;
  std::atomic<bool> finished{false};
  T value{};

  void deliver(T delivered) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      value = std::move(delivered);
    }
    finished = true;
  }
  T take() {
    std::lock_guard<std::mutex> guard(mutex);
    return value;
  }
};

std::string seconds(std::chrono::milliseconds limit) {
  return fmt::format("{:g} s", static_cast<double>(limit.count()) / 1000.0);
}

}  // namespace

DemoJob::DemoJob(DemoOptions options, std::FILE* out) : options_(std::move(options)), out_(out) {}

void DemoJob::step(const std::string& text) {
  std::fprintf(out_, "[%d] %s\n", ++stepNumber_, text.c_str());
  std::fflush(out_);
}

std::string failureText(const platform::Error& error) {
  if (auto message = LMCustomUtils::messageForURLError(error, "demo")) return *message;
  return platform::ui::stringWithFormat(platform::ui::localizedString("Operation Failed Format"),
                                        {error.description()});
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
            compareWithCloud() && backupPhotos() && restoreAlbum();
  LMLogUtil::setLogDelegate(nullptr);
  std::fprintf(out_, ok ? "Done.\n" : "Stopped after a failure.\n");
  return ok ? 0 : 1;
}

bool DemoJob::signIn() {
  auto manager = QBPassportsManager::sharedManager();
  step("Signing in to the account service as \"" + options_.login + "\" for service \"" +
       kCloudSid + "\"");
  auto handoff = std::make_shared<Handoff<platform::Status>>();
  manager->loginForSid(kCloudSid, options_.login, options_.password, false,
                       [handoff](const platform::Status& result) { handoff->deliver(result); });
  if (!waitFor([handoff] { return handoff->finished.load(); }, options_.signInLimit)) return false;
  platform::Status failure = handoff->take();
  if (!failure.ok()) {
    failed(failure.error());
    return false;
  }
  auto passport = manager->passportForSid(kCloudSid);
  outcome(true, "signed in as user " + passport->userId().value_or("?"));
  std::fprintf(out_, "      pass token %s\n", present(passport->passToken()).c_str());
  std::fprintf(out_, "      service token %s\n", present(passport->serviceToken()).c_str());
  std::fprintf(out_, "      security key %s\n", present(passport->sSecurity()).c_str());
  return true;
}

bool DemoJob::waitFor(const std::function<bool()>& completed, std::chrono::milliseconds limit) {
  if (platform::MainQueue::main().runUntil(completed, limit)) return true;
  outcome(false, "no answer within " + seconds(limit));
  return false;
}

std::shared_ptr<LMHTTPRequestOperation> DemoJob::offMain(CloudCall work) {
  auto operation = std::make_shared<std::shared_ptr<LMHTTPRequestOperation>>();
  if (!offMainWork([operation, work = std::move(work)] { *operation = work(); })) return nullptr;
  if (!*operation) outcome(false, "no request was made");
  return *operation;
}

bool DemoJob::offMainWork(std::function<void()> work) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  platform::globalQueue().async([finished, work = std::move(work)] {
    work();
    finished->store(true);
  });
  if (waitFor([finished] { return finished->load(); }, options_.stepLimit)) return true;
  // The call's sends and retry waits end at once.
  adapter_->requestLoop()->cancel();
  if (contacts_) contacts_->requestLoop()->cancel();
  return false;
}

bool DemoJob::relocate() {
  step("Asking the relocation service for this user's cloud hosts");
  auto operation = offMain([adapter = adapter_] { return adapter->requestHostListWithRomCountry(std::nullopt); });
  if (!operation) return false;
  if (auto error = operation->error()) {
    failed(*error);
    return false;
  }
  auto hosts = adapter_->hostList();
  outcome(true, hosts.empty() ? std::string("no relocation: the default hosts stay in use")
                              : "host list " + hosts.dump());
  return true;
}

bool DemoJob::registerDevice() {
  step("Signing in to the device-information service and registering this device");
  auto handoff = std::make_shared<Handoff<platform::Status>>();
  adapter_->registerDeviceInfo([handoff](const platform::Status& result) { handoff->deliver(result); });
  if (!waitFor([handoff] { return handoff->finished.load(); }, options_.stepLimit)) {
    adapter_->requestLoop()->cancel();
    return false;
  }
  platform::Status failure = handoff->take();
  if (!failure.ok()) {
    failed(failure.error());
    return false;
  }
  outcome(true, "device registered");
  return true;
}

bool DemoJob::listDevices() {
  step("Listing the devices registered to this account");
  auto operation = offMain([adapter = adapter_] { return adapter->requestAllDeviceInfo(); });
  if (!operation) return false;
  auto reply = operation->result();
  if (!reply.ok() || !reply->is_object()) {
    outcome(false, reply.ok() ? std::string("empty reply") : failureText(reply.error()));
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
