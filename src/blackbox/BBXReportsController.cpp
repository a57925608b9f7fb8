#include "blackbox/BBXReportsController.h"

#include <sys/stat.h>

#include <filesystem>
#include <utility>

#include "blackbox/BBXApplication.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXPackageReportOperation.h"
#include "blackbox/BBXProcessReportOperation.h"
#include "blackbox/BBXSymbolResolver.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "harbor/HBRURLBuilder.h"
#include "platform/device/Locale.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr std::uint64_t kBBXActivityOptions = 0xC000;
constexpr const char* kBBXActivityReason = "Blackbox Crash Report Processing";
constexpr double kBBXUploadTimeout = 10.0;
constexpr double kBBXUrgentUploadTimeout = 2.0;
constexpr const char* kBBXReportsDeveloperToken = "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b";
// How many tries may keep a report back whole for failures that may pass;
// the try after them sends what can be read.
constexpr unsigned kBBXHeldBackTries = 3;

void bbxReportsLog(const std::string& message) { platform::consoleLog("[Blackbox:Crash:Reports] " + message); }

void bbxReportsDebugLog(const std::string& message) {
  if (HBRDebugEnabled()) bbxReportsLog(message);
}

}  // namespace

BBXReportsController::BBXReportsController(std::shared_ptr<platform::OperationQueue> queue,
                                           std::weak_ptr<BBXReportsControllerDelegate> delegate,
                                           std::shared_ptr<BBXNetworkClient> client, BBXFileManager fileManager)
    : delegate_(std::move(delegate)),
      operationQueue_(std::move(queue)),
      networkClient_(std::move(client)),
      fileManager_(std::move(fileManager)) {}

bool BBXReportsController::prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool urgent,
                                                  bool processing) {
  bool started = false;
  BBXApplicationActivity(kBBXActivityOptions, kBBXActivityReason, [&] {
    if (!report) return;
    // A report is a folder of the store: a link in its place would have its
    // target read, and written into, outside the store. The link goes.
    struct stat info {};
    if (lstat(report->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      bbxReportsLog("Report " + report->identifier() + " is no folder of the store: not processed");
      if (S_ISLNK(info.st_mode)) fileManager_.removeItemAtPath(report->path());
      return;
    }
    if (processing) {
      // A report found in processing (an earlier run ended there) is
      // processed again where it lies.
      const std::filesystem::path processingPath(fileManager_.processingPath());
      if (std::filesystem::path(report->path()).parent_path() != processingPath) {
        if (!fileManager_.moveItemAtPath(report->path(), fileManager_.processingPath())) {
          bbxReportsLog("Unable to move report for processing");
          return;
        }
        report->setPath((processingPath / report->directoryName()).string());
      }
    }
    // A failure that may pass keeps the report whole for a later try, a few
    // times: a failure that outlasts them would keep the crash back for
    // ever, so the last try sends what can be read. A try counts once it
    // was made and kept the report back: a launch that ends before it
    // packages, or one with packaging off, leaves the count as it was. A try
    // that cannot be counted is followed at once by the last.
    const unsigned earlierTries = report->triesSoFar();
    bool lastTry = earlierTries >= kBBXHeldBackTries;
    {
      std::lock_guard lock(triedMutex_);
      tried_.insert(report->directoryName());
    }
    bool unfinished = false;
    if (processing) {
      BBXProcessReportOperation process(report, std::make_shared<BBXSymbolResolver>());
      process.start();
      unfinished = process.unfinished();
    }
    if (!packagingEnabled()) {
      bbxReportsLog("Report packaging disabled");
      return;
    }
    if (unfinished && !lastTry) {
      bbxReportsLog("Report " + report->identifier() + " is kept for a later try: its processing is unfinished");
      if (report->countTry(earlierTries)) return;
      lastTry = true;
    }
    std::optional<std::string> finalPath;
    for (;;) {
      BBXPackageReportOperation package(report, fileManager_, APIKey());
      package.setLastTry(lastTry);
      package.start();
      finalPath = package.finalPath();
      if (finalPath) break;
      bbxReportsLog("Unable to package report");
      // Never to be sent, and not sent empty for the service to refuse: it
      // is kept aside as a refused one would be.
      if (package.nothingToSend()) {
        fileManager_.moveItemAside(report->path());
        return;
      }
      if (lastTry || report->countTry(earlierTries)) return;
      lastTry = true;
    }
    if (!fileManager_.removeItemAtPath(report->path())) bbxReportsLog("Unable to remove a processing item");
    bbxReportsDebugLog("Packaged id " + report->identifier() + " for submission");
    started = uploadPackagedReportAtPath(*finalPath, urgent);
  });
  return started;
}

bool BBXReportsController::hasTriedReport(const std::string& directoryName) const {
  std::lock_guard lock(triedMutex_);
  return tried_.count(directoryName) != 0;
}

bool BBXReportsController::uploadPackagedReportAtPath(const std::string& path, bool urgent) {
  if (!submissionEnabled()) {
    bbxReportsLog("Submission disabled");
    return false;
  }
  bbxReportsDebugLog(std::string("Submitting report") + (urgent ? " as urgent" : ""));
  return submitPackageMultipartMimeAtPath(path, urgent);
}

bool BBXReportsController::submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously) {
  bbxReportsLog(std::string("Submitting ") + (synchronously ? "sync" : "async") + " " + path);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    bbxReportsDebugLog("Already-submitted report being ignored");
    return false;
  }
  // Packaging writes plain files only, and never leaves one empty: a link
  // (whose target lies outside the store) or an empty file would otherwise
  // be met again at every launch. Either goes (a link itself, not what it
  // points to).
  if (!S_ISREG(info.st_mode) || info.st_size == 0) {
    if (S_ISREG(info.st_mode)) {
      bbxReportsDebugLog("Already-submitted report being ignored");
    } else {
      bbxReportsLog("A package that is no plain file is not sent: " + path);
    }
    fileManager_.removeItemAtPath(path);
    return false;
  }
  double timeout = kBBXUploadTimeout;
  if (synchronously && !networkClient_->supportsBackgroundRequests()) timeout = kBBXUrgentUploadTimeout;
  auto url = reportURL();
  if (!url) return false;
  auto request = mutableRequestWithURL(*url, timeout);
  if (!request || !fillInRequest(*request, path)) return false;
  networkClient_->startUploadRequest(*request, path, synchronously);
  return true;
}

void BBXReportsController::reportUploadAtPath(const std::string& path, const std::optional<platform::Error>& error) {
  bbxReportsDebugLog("completed submission of " + path);
  if (!error) cleanUpSubmittedReportAtPath(path);
  // Refused for what it is (malformed, too large, of a type or content the
  // service does not take): sending it again would be refused again. It is
  // kept aside; network failures, the service's own troubles and answers
  // about the sender (a wrong key, a moved endpoint) are tried again.
  if (error && BBXNetworkErrorIsRefusal(*error)) {
    std::string reason = "HTTP " + error->userInfo().value("status_code", platform::Json(0)).dump();
    const auto said = error->userInfo().find("response_text");
    if (said != error->userInfo().end() && said->is_string() && !said->get_ref<const std::string&>().empty()) {
      reason += ": " + said->get<std::string>();
    }
    bbxReportsLog("The service refused " + std::filesystem::path(path).filename().string() + " (" + reason +
                  "); it is kept aside and not sent again");
    fileManager_.moveItemAside(path);
  }
  if (auto delegate = delegate_.lock()) delegate->reportsControllerDidCompletePackageSubmission(*this, path, error);
}

bool BBXReportsController::cleanUpSubmittedReportAtPath(const std::string& path) {
  if (fileManager_.removeItemAtPath(path)) return true;
  bbxReportsLog("Unable to remove packaged submission");
  return false;
}

std::optional<std::string> BBXReportsController::reportURL() {
  auto builder = HBRURLBuilder::URLWithBase(reportEndpoint());
  builder.appendComponent("/sdk-api/v1/platforms/");
  builder.appendComponent("ios");
  builder.appendComponent("/apps/");
  builder.appendComponent(appBundleIdentifier().value_or(""));
  builder.appendComponent("/reports");
  return builder.URL();
}

platform::http::Request BBXServiceRequest(const std::string& url, const std::string& method, double timeout,
                                          const std::string& apiKey) {
  platform::http::Request request;
  request.url = url;
  request.method = method;
  request.timeoutSeconds = timeout;
  request.shouldHandleCookies = false;
  const std::string locale = BBXReportsController::localeIdentifier();
  request.headers.set("User-Agent", "Blackbox iOS SDK/3.3.4");
  request.headers.set("Accept", "application/json");
  request.headers.set("Accept-Charset", "utf-8");
  request.headers.set("Accept-Language", locale);
  request.headers.set("Content-Language", locale);
  request.headers.set("X-Blackbox-Developer-Token", kBBXReportsDeveloperToken);
  request.headers.set("X-Blackbox-API-Client-Id", "com.harbor.blackbox.ios");
  request.headers.set("X-Blackbox-API-Client-Display-Version", "3.3.4");
  request.headers.set("X-Blackbox-API-Client-Build-Version", "82");
  request.headers.set("X-Blackbox-API-Key", apiKey);
  return request;
}

std::optional<platform::http::Request> BBXReportsController::mutableRequestWithURL(const std::string& url,
                                                                                   double timeout) {
  auto request = BBXServiceRequest(url, "POST", timeout, APIKey().value_or(""));
  // A package is deleted once its upload succeeds: only a reply to the
  // package itself may say so.
  request.bodyMustArrive = true;
  return request;
}

bool BBXReportsController::fillInRequest(platform::http::Request& request, const std::string& path) const {
  auto size = fileManager_.fileSizeAtPath(path);
  if (!size) {
    bbxReportsLog("Could not determine size of multipart mime file");
    return false;
  }
  const std::string boundary = std::filesystem::path(path).stem().string();
  request.headers.set("Content-Type", HBRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary));
  request.headers.set("Content-Length", std::to_string(*size));
  return true;
}

BBXSettings BBXReportsController::settings() {
  if (auto delegate = delegate_.lock()) return delegate->settingsForReportsController(*this);
  return BBXSettings(std::nullopt);
}

std::optional<std::string> BBXReportsController::appBundleIdentifier() {
  if (auto delegate = delegate_.lock()) return delegate->bundleIdentifierForReportsController(*this);
  return std::nullopt;
}

std::string BBXReportsController::reportEndpoint() { return settings().reportsEndpoint(); }
bool BBXReportsController::submissionEnabled() { return settings().shouldSubmitReports(); }
bool BBXReportsController::packagingEnabled() { return settings().shouldPackageReports(); }
std::string BBXReportsController::localeIdentifier() { return platform::Locale::currentIdentifier(); }

std::optional<std::string> BBXReportsController::APIKey() {
  if (auto delegate = delegate_.lock()) return delegate->APIKeyForReportsController(*this);
  return std::nullopt;
}

}  // namespace lumora
