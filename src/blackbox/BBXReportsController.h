// Runs one crash report through to the service: moves it to "processing"
// and symbolicates it (when asked), packs it into "prepared", removes the
// report directory once a package exists, and starts the package's upload
// (urgent: a synchronous send on the caller's thread). A confirmed upload
// deletes the package; one the service refuses for what it is (a 4xx
// answer other than 408 and 429) is moved aside with a console line saying
// why; any other outcome leaves it for a later launch. A report holding a
// file larger than capture ever writes is moved aside unread. A report
// that cannot be processed or packaged now, for a reason that may pass
// (too many open files, say), stays whole for a later launch; each try
// that kept it back is counted, once made, by a mark in its folder (a
// launch that ends before it packages, or with packaging off, counts none),
// and after three such tries the next sends what can be read, each file
// left out named in the log (a try that cannot be counted is followed at
// once by that last one). A package is never sent without a file of its
// report: a report of which nothing can be read now stays for a later
// launch, however many tries it has had; one of which nothing can ever be
// sent is moved aside unsent.
//
// Ownership: created shared by the crash-reporting controller, which is its
// delegate (held weakly); shares the network client. Threading: the
// pipeline runs on the calling thread (the work queue, or the launch thread
// for urgent reports); upload outcomes arrive on the work queue.
// Failure: every step that fails is logged and answered false; the report
// or package stays where it was.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXInternalReport.h"
#include "blackbox/BBXNetworkClient.h"
#include "blackbox/BBXSettings.h"
#include "platform/Error.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/http/Request.h"

namespace lumora {

class BBXReportsController;

// A request to the vendor's service with the kit's identifying headers
// (agent, languages, developer token, client and API key).
platform::http::Request BBXServiceRequest(const std::string& url, const std::string& method, double timeout,
                                          const std::string& apiKey);

class BBXReportsControllerDelegate {
 public:
  virtual ~BBXReportsControllerDelegate() = default;
  virtual BBXSettings settingsForReportsController(BBXReportsController& controller) = 0;
  virtual std::optional<std::string> APIKeyForReportsController(BBXReportsController& controller) = 0;
  // The sanitised bundle identifier.
  virtual std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController& controller) = 0;
  virtual void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller,
                                                             const std::string& path,
                                                             const std::optional<platform::Error>& error) = 0;
};

class BBXReportsController {
 public:
  BBXReportsController(std::shared_ptr<platform::OperationQueue> queue,
                       std::weak_ptr<BBXReportsControllerDelegate> delegate,
                       std::shared_ptr<BBXNetworkClient> client, BBXFileManager fileManager);

  // True when an upload was started.
  bool prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool urgent, bool processing);
  // Whether this controller (a launch has one) has tried the report of that
  // directory name.
  bool hasTriedReport(const std::string& directoryName) const;
  bool uploadPackagedReportAtPath(const std::string& path, bool urgent);
  bool submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously);
  // The network client's outcome for the package at `path`.
  void reportUploadAtPath(const std::string& path, const std::optional<platform::Error>& error);
  bool cleanUpSubmittedReportAtPath(const std::string& path);

  std::optional<std::string> reportURL();
  std::optional<platform::http::Request> mutableRequestWithURL(const std::string& url, double timeout);
  // Content-Type from the package's name and Content-Length from its size.
  bool fillInRequest(platform::http::Request& request, const std::string& path) const;

  BBXSettings settings();
  std::optional<std::string> appBundleIdentifier();
  std::string reportEndpoint();
  bool submissionEnabled();
  bool packagingEnabled();
  static std::string localeIdentifier();
  std::optional<std::string> APIKey();

  const std::shared_ptr<BBXNetworkClient>& networkClient() const { return networkClient_; }

 private:
  std::weak_ptr<BBXReportsControllerDelegate> delegate_;
  std::shared_ptr<platform::OperationQueue> operationQueue_;
  std::shared_ptr<BBXNetworkClient> networkClient_;
  BBXFileManager fileManager_;
  mutable std::mutex triedMutex_;
  std::set<std::string> tried_;  // directory names
};

}  // namespace lumora
