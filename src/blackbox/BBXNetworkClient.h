// Uploads the crash reporter's packages. An asynchronous upload is an upload
// task of the reporter's own URL session, described by the package's path
// relative to the report store's root, so a finished task names its package;
// an urgent one is a synchronous send that blocks its caller up to the
// request's timeout. The platform has no background sessions, so every
// asynchronous upload runs in this process. Upload tasks share a pool: at
// most kMaxRunningUploads run at once (each task holds threads of its own),
// the others wait their turn in order, so thousands of pending packages go
// one after another; a package already waiting or running is not queued
// twice. A reply that asks for a retry restarts the upload after its
// Retry-After delay (300 s without a usable one: absent, empty, not wholly
// a number or a date, negative, not finite or out of range), with no
// limit, through the same pool; where it asks for less than a second, not
// before a least wait that doubles with each restart of that package (1 s
// up to 300 s), so a service that says "0" each time is not flooded.
// Server chains are checked by the pinner unless the debug switch is on.
// The start of the service's answer to a failed upload comes with its error
// (user info "response_text").
//
// Ownership: created shared; owns its session and pinner; holds its
// delegate weakly. A waiting restart keeps the client alive.
// Threading: session events, lookups and restarts run on the work queue;
// an urgent upload runs on its caller's thread. Failure: an unreadable
// package is reported as "BBXNetworkError" -2; a failed asynchronous upload
// with the response handler's error; a failed urgent one reports only a
// refusal (any other failure leaves the package for a later launch).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "blackbox/BBXFileManager.h"
#include "harbor/BBXURLSession.h"
#include "harbor/HBRCertificatePinner.h"
#include "platform/Error.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/http/Request.h"

namespace lumora {

inline constexpr const char* kBBXNetworkErrorDomain = "BBXNetworkError";
inline constexpr std::int64_t kBBXNetworkErrorUnreadableFile = -2;

class BBXNetworkClient;

// Whether an upload's error is the service refusing the package for what it
// is (400, 413, 415, 422), which sending it again would only meet again.
// Every other answer (401, 403 and 404 about the sender or the address,
// 408, 429, 5xx) is tried again.
bool BBXNetworkErrorIsRefusal(const platform::Error& error);

class BBXNetworkClientDelegate {
 public:
  virtual ~BBXNetworkClientDelegate() = default;
  // The package at the absolute `path` was uploaded (no error) or failed.
  virtual void networkClientDidFinishUploadWithPath(BBXNetworkClient& client, const std::string& path,
                                                    const std::optional<platform::Error>& error) = 0;
  virtual bool networkClientCanUseBackgroundSessions(BBXNetworkClient& client) = 0;
};

class BBXNetworkClient : public BBXURLSessionDelegate, public std::enable_shared_from_this<BBXNetworkClient> {
 public:
  static constexpr std::size_t kMaxRunningUploads = 4;

  // Without certificates the pinner holds the vendor's roots.
  static std::shared_ptr<BBXNetworkClient> create(
      std::shared_ptr<platform::OperationQueue> queue, BBXFileManager fileManager,
      std::weak_ptr<BBXNetworkClientDelegate> delegate,
      std::optional<std::vector<HBRCertificate>> pinnedCertificates = std::nullopt);
  ~BBXNetworkClient() override;

  static std::shared_ptr<HBRCertificatePinner> pinner();

  // Made on first use; null when it could not be made (logged).
  std::shared_ptr<BBXURLSession> session();
  // Never here: the platform has no background sessions.
  bool supportsBackgroundRequests() const;
  bool canUseBackgroundSession() const { return canUseBackgroundSession_; }

  // Runs the block at once (there is no background session to reconnect).
  void attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block);
  void startUploadRequest(const platform::http::Request& request, const std::string& filePath, bool immediately);
  void startImmediateUploadRequest(const platform::http::Request& request, const std::string& filePath);
  void startNewUploadRequest(const platform::http::Request& request, const std::string& filePath);

  const std::string& rootPath() const { return fileManager_.rootPath(); }
  std::string absolutePathForRelativeTaskPath(const std::string& relativePath) const;
  // nullopt (logged) when the path does not lie under the root.
  std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& absolutePath) const;

  // Calls the block on the work queue with whether an upload of that
  // description is waiting or running in the pool.
  void checkForExistingTaskMatchingDescription(const std::string& description,
                                               std::function<void(bool)> completionBlock);
  static bool taskArray(const std::vector<std::shared_ptr<BBXURLSessionTask>>& tasks, const std::string& description);

  // After the reply's Retry-After delay (where it is under a second, the
  // least wait of a package's restart number `restarts` + 1), on the
  // platform clock.
  void runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                      std::uint64_t restarts, std::function<void()> block);
  void restartTask(BBXURLSessionTask& task);
  void handleTask(BBXURLSessionTask& task, const std::optional<platform::Error>& error);
  void handleTaskDescription(const std::string& description, const std::optional<platform::Error>& error);

  std::function<void()> backgroundCompletionHandler;
  const std::shared_ptr<HBRCertificatePinner>& certPinner() const { return certPinner_; }

 private:
  BBXNetworkClient() = default;
  void installSessionHooks();
  void answerChallenge(const BBXURLAuthenticationChallenge& challenge, const BBXChallengeCompletion& completion);
  void reportFinished(const std::string& path, const std::optional<platform::Error>& error);

  struct Upload {
    platform::http::Request request;
    std::string filePath;
    std::string description;
  };
  // Queues an upload unless one of that description waits or runs, then
  // starts what the pool has room for.
  void enqueueUpload(Upload upload);
  void startWaitingUploads();
  // A task of the pool ended: its slot frees, and the start of the answer
  // it had is handed back.
  std::string uploadEnded(const BBXURLSessionTask& task);
  bool hasUploadWithDescription(const std::string& description);
  bool hasUploadWithDescriptionLocked(const std::string& description) const;

  // Made on first use by whichever thread starts an upload; read by others.
  std::mutex sessionMutex_;
  std::shared_ptr<BBXURLSession> session_;
  bool canUseBackgroundSession_ = false;
  std::weak_ptr<BBXNetworkClientDelegate> delegate_;
  std::shared_ptr<platform::OperationQueue> operationQueue_;
  std::shared_ptr<HBRCertificatePinner> certPinner_;
  BBXFileManager fileManager_;

  std::mutex uploadsMutex_;
  std::deque<Upload> waitingUploads_;
  std::size_t startingUploads_ = 0;  // slots taken by tasks being made
  std::map<const BBXURLSessionTask*, std::string> runningUploads_;  // task -> description
  std::map<const BBXURLSessionTask*, std::string> responseTexts_;
  // Restarts so far of each package (by description) since it was last
  // reported finished.
  std::map<std::string, std::uint64_t> restarts_;
};

}  // namespace lumora
