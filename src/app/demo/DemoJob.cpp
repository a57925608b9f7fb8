#include "app/demo/DemoJob.h"

#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMCustomUtils.h"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "applog/AppLogDelegate.h"
#include "feedback/QBLogUtil.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/sync/LMSyncAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "platform/PrintableText.h"
#include "platform/photos/AssetFile.h"
#include "platform/storage/AppHome.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

constexpr const char* kCloudSid = "lumora";

// Forwards the SDK's log lines into the app's log files, as the app's own
// sink does, and (when verbose) prints those of information and above; the
// run's failure is told once, by the job.
class PrintingLogSink : public AppLogDelegate {
 public:
  PrintingLogSink(std::FILE* out, bool verbose) {
    logLevel = kLMLogFlagInfo;
    appendLogMessage = [out, verbose](const LMLogMessage& message) {
      appendLogMessageToAppLog(message);
      static constexpr const char* kLevels[] = {"", "error", "warning", "info"};
      auto flag = message.flag();
      if (!verbose || flag < 1 || flag > 3) return;
      std::fprintf(out, "      [sdk %s] %s\n", kLevels[flag], message.message().c_str());
    };
  }
};

std::atomic<bool> gStopRequested{false};

// What to do about a failure of each kind.
std::string adviceFor(DemoExit kind, const DemoOptions& options) {
  switch (kind) {
    case kDemoExitSignInRefused:
      return "Check the login name and password (--login NAME; the password from LUMORA_PASSWORD, "
             "standard input or the prompt)" +
             (options.login == "demo" ? std::string(", and that the cloud was started with --seed-demo.")
                                      : std::string("."));
    case kDemoExitUnreachable:
      return "Start the local cloud (lumora-cloud --seed-demo), or point LUMORA_CLOUD_URL or "
             "<app home>/hosts.json at a running one.";
    case kDemoExitCloudFailure:
      return "The cloud refused a request: its own output says why; running again retries.";
    case kDemoExitStopped:
      return "The run was stopped; the next run goes on from what this one stored.";
    default:
      return "Check the app home " + platform::printablePath(platform::AppHome::root()) +
             " (free space, permissions; LUMORA_HOME chooses another).";
  }
}

bool isNetworkError(const platform::Error& error) {
  for (std::optional<platform::Error> e = error; e; e = e->underlying()) {
    if (e->domain() != platform::http::kURLErrorDomain) continue;
    switch (e->code()) {
      case platform::http::kUrlErrorTimedOut:
      case platform::http::kUrlErrorCannotFindHost:
      case platform::http::kUrlErrorCannotConnectToHost:
      case platform::http::kUrlErrorNetworkConnectionLost:
      case platform::http::kUrlErrorNotConnectedToInternet:
        return true;
      default:
        break;
    }
  }
  return false;
}

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

// How long the wait pumps the main queue before it looks again at what
// moved (a pump also ends at once on any of it).
constexpr std::chrono::milliseconds kPumpSlice{250};

std::string seconds(std::chrono::milliseconds limit) {
  return fmt::format("{:g} s", static_cast<double>(limit.count()) / 1000.0);
}

}  // namespace

DemoJob::DemoJob(DemoOptions options, std::FILE* out, std::FILE* err)
    : options_(std::move(options)),
      out_(out),
      terminal_(options_.outputIsTerminal.value_or(isatty(fileno(out)) != 0)),
      err_(err) {}

void DemoJob::requestStop() { gStopRequested.store(true); }

void DemoJob::step(const std::string& text) {
  std::fprintf(out_, "[%d] %s\n", ++stepNumber_, text.c_str());
  std::fflush(out_);
}

std::string failureText(const platform::Error& error) {
  // A photo (or folder) of the library that cannot be sent, by its place in
  // the library and the reason.
  if (auto photo = platform::photos::assetFileFailureOf(error)) {
    const std::string name = platform::photos::libraryPathText(photo->file);
    using Kind = platform::photos::AssetFileFailure::Kind;
    switch (photo->kind) {
      case Kind::Unreadable:
        return platform::ui::stringWithFormat(platform::ui::localizedString("Photo Unreadable Format"),
                                              {name, platform::photos::fileRefusalText(photo->code)});
      case Kind::Damaged:
        return platform::ui::stringWithFormat(platform::ui::localizedString("Photo Damaged Format"), {name});
      case Kind::Changed:
        return platform::ui::stringWithFormat(platform::ui::localizedString("Photo Changed Format"), {name});
      case Kind::Unlisted:
        return platform::ui::stringWithFormat(platform::ui::localizedString("Folder Unreadable Format"),
                                              {name, platform::photos::fileRefusalText(photo->code)});
      case Kind::Gone:
        break;
    }
  }
  if (auto message = LMCustomUtils::messageForURLError(error, "demo")) return *message;
  return platform::ui::stringWithFormat(platform::ui::localizedString("Operation Failed Format"),
                                        {error.description()});
}

std::string photoFailureText(const platform::Error& error) {
  const auto photo = platform::photos::assetFileOf(error);
  if (!photo || platform::photos::assetFileFailureOf(error)) return failureText(error);
  // The cloud's own words for what it refused; for a failure of this
  // machine's (a request that could not be made), the client's.
  std::string said = error.description();
  if (const platform::Json& info = error.userInfo(); info.is_object()) {
    for (const char* key : {platform::Error::kLocalizedDescriptionKey, kLMErrorReasonKey, kLMErrorDescriptionKey}) {
      if (auto text = info.find(key); text != info.end() && text->is_string() && !text->get<std::string>().empty()) {
        said = text->get<std::string>();
        break;
      }
    }
  }
  const bool cloudSaid = error.domain() == kLMServerErrorDomain;
  return platform::ui::stringWithFormat(
      platform::ui::localizedString(cloudSaid ? "Photo Refused Format" : "Photo Failed Format"),
      {platform::photos::libraryPathText(*photo), platform::printableText(said)});
}

std::string reportCount(const std::string& formatKey, const std::vector<platform::ui::FormatArgument>& arguments) {
  return platform::ui::localizedCountString(formatKey, arguments, "en");
}

void DemoJob::outcome(bool ok, const std::string& text) {
  if (!ok) {
    fail(kDemoExitLocalFailure, text);
    return;
  }
  std::fprintf(out_, "    ok: %s\n", text.c_str());
  std::fflush(out_);
}

void DemoJob::fail(DemoExit kind, const std::string& text, std::optional<std::string> advice) {
  if (!failure_) failure_ = Failure{kind, text, std::move(advice)};
}

void DemoJob::fail(const platform::Error& error) {
  DemoExit kind = kDemoExitCloudFailure;
  if (isNetworkError(error)) {
    kind = kDemoExitUnreachable;
  } else if (signingIn_) {
    kind = kDemoExitSignInRefused;
  } else if (error.domain() == kLMLocalErrorDomain || error.domain() == platform::kPOSIXErrorDomain) {
    kind = kDemoExitLocalFailure;
  }
  std::optional<std::string> advice;
  // A photo (or folder) of this machine's library: that is what to look at,
  // not the app home.
  if (auto photo = platform::photos::assetFileFailureOf(error)) {
    kind = kDemoExitLocalFailure;
    const std::string place = platform::printablePath(photo->file);
    advice = photo->kind == platform::photos::AssetFileFailure::Kind::Unlisted
                 ? "Check the folder " + place + " (that it may be listed and read); the next backup looks at it again."
                 : "Check the photo " + place +
                       " (that it opens as a picture, and may be read); the next backup tries it again.";
  }
  if (LMHTTPResponseSerialization::redirectURLOfError(error)) {
    advice = "The cloud sends its requests to an address the app does not follow them to: point "
             "LUMORA_CLOUD_URL or <app home>/hosts.json at the address it serves from.";
  }
  // A failed sign-in in the sign-in screen's words.
  auto text = signingIn_ ? messageForLoginError(error, "demo") : std::nullopt;
  fail(kind, text ? *text : failureText(error), std::move(advice));
}

int DemoJob::run() {
  platform::MainQueue::main().bindToCurrentThread();
  QBLogUtil::startLog();
  auto sink = std::make_shared<PrintingLogSink>(out_, options_.verbose);
  LMLogUtil::setLogDelegate(sink);
  // The console's dumps (debug records, some very long) only when verbose.
  platform::setConsoleSink([verbose = options_.verbose](std::string_view line) {
    if (verbose) std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  });

  std::fprintf(out_, "Lumora client, cloud at %s\n", ServiceHosts::baseURL(ServiceHosts::kAccount).c_str());
  // The job's own adapters: their stores open under the app home of this
  // run, never one an earlier job in this process left them on.
  adapter_ = std::make_shared<LMSyncAdapter>();
  contacts_ = std::make_shared<LMContactSyncAdapter>();
  gallery_ = std::make_shared<LMImageSyncAdapter>();
  bool ok = signIn() && relocate() && registerDevice() && listDevices() && seedAddressBook() &&
            syncContacts("Syncing the contacts") && syncContacts("Syncing again (nothing changed)") &&
            compareWithCloud() && backupPhotos() && restoreAlbum();
  LMLogUtil::setLogDelegate(nullptr);
  platform::setConsoleSink(nullptr);
  if (ok && !failure_) {
    std::fprintf(out_, "Done.\n");
    return kDemoExitOk;
  }
  std::fflush(out_);
  const auto [kind, text, advice] = failure_.value_or(Failure{kDemoExitLocalFailure, "a step failed", std::nullopt});
  const char* what = kind == kDemoExitSignInRefused ? "the sign-in was refused"
                     : kind == kDemoExitUnreachable ? "the cloud cannot be reached"
                     : kind == kDemoExitCloudFailure ? "the cloud failed a request"
                     : kind == kDemoExitStopped      ? "stopped"
                                                     : "a step failed on this machine";
  const std::filesystem::path logs = QBLogUtil::getLogDir().value_or(platform::AppHome::caches() / "Logs");
  std::fprintf(err_, "lumora: %s at step %d: %s\n  %s\n  The log files are in %s\n", what, stepNumber_,
               text.c_str(), advice.value_or(adviceFor(kind, options_)).c_str(),
               platform::printablePath(logs).c_str());
  std::fflush(err_);
  return kind;
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
    signingIn_ = true;
    fail(failure.error());
    signingIn_ = false;
    return false;
  }
  auto passport = manager->passportForSid(kCloudSid);
  outcome(true, "signed in as user " + passport->userId().value_or("?"));
  std::fprintf(out_, "      pass token %s\n", present(passport->passToken()).c_str());
  std::fprintf(out_, "      service token %s\n", present(passport->serviceToken()).c_str());
  std::fprintf(out_, "      security key %s\n", present(passport->sSecurity()).c_str());
  return true;
}

bool DemoJob::waitFor(const std::function<bool()>& completed, std::chrono::milliseconds limit,
                      const Moves& moves, const std::function<void()>& whileWaiting) {
  // The limit is one on silence: each move of the work starts it again.
  const auto clock = platform::Clock::current();
  std::uint64_t moved = moves ? moves() : 0;
  auto deadline = clock->steadyDeadline(limit);
  for (;;) {
    bool quiet = false;
    platform::MainQueue::main().runUntil(
        [&] {
          if (gStopRequested.load() || completed()) return true;
          if (moves && moves() != moved) return true;
          quiet = clock->steadyNow() >= deadline;
          return quiet;
        },
        kPumpSlice);
    if (whileWaiting) whileWaiting();
    if (gStopRequested.load()) {
      fail(kDemoExitStopped, "stopped by the user");
      return false;
    }
    if (completed()) return true;
    if (moves && moves() != moved) {
      moved = moves();
      deadline = clock->steadyDeadline(limit);
    } else if (quiet) {
      fail(kDemoExitUnreachable, "no answer within " + seconds(limit));
      return false;
    }
  }
}

std::shared_ptr<LMHTTPRequestOperation> DemoJob::offMain(CloudCall work) {
  auto operation = std::make_shared<std::shared_ptr<LMHTTPRequestOperation>>();
  if (!offMainWork([operation, work = std::move(work)] { *operation = work(); })) return nullptr;
  if (!*operation) outcome(false, "no request was made");
  return *operation;
}

bool DemoJob::offMainWork(std::function<void()> work, const Moves& moves,
                          const std::function<void()>& whileWaiting) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  platform::globalQueue().async([finished, work = std::move(work)] {
    work();
    finished->store(true);
  });
  if (waitFor([finished] { return finished->load(); }, options_.stepLimit, moves, whileWaiting)) return true;
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
    fail(*error);
    return false;
  }
  auto hosts = adapter_->hostList();
  outcome(true, hosts.empty() ? std::string("no relocation: the default hosts stay in use")
                              : "host list " + platform::printableJsonText(hosts.dump()));
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
    fail(failure.error());
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
    if (reply.ok()) {
      fail(kDemoExitCloudFailure, "empty reply");
    } else {
      fail(reply.error());
    }
    return false;
  }
  auto list = reply->value("data", platform::Json::object()).value("list", platform::Json::array());
  outcome(true, reportCount("Demo Devices Format", {static_cast<std::int64_t>(list.size())}));
  for (const auto& device : list) {
    std::fprintf(out_, "      %s\n", platform::printableJsonText(device.dump()).c_str());
  }
  return true;
}

}  // namespace lumora
