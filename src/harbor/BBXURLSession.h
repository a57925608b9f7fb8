// The URL session of the reporting kits: made from a configuration, with a
// delegate and a delegate queue, it creates data, upload and download tasks
// whose requests carry the configuration's additional headers (added after
// the request's own). The platform has no URL-session classes, so this
// session is the only one. It puts every server-trust challenge to its
// delegate when the delegate answers challenges (that is how certificate
// pinning applies); otherwise the system's trust decides. Redirects are
// followed; a hop to another origin carries none of the kits' keys, tokens
// or bodies (the HTTP client's rule), and a pinned request's every hop
// passes the pinning.
// Ownership: created shared; holds its delegate weakly and its live tasks
// until they complete. Threading: any thread; a serial queue guards the
// task set; delegate hooks run on the delegate queue, completion handlers on
// each task's queue. Failure: no session without a configuration.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "harbor/BBXURLSessionConfiguration.h"
#include "harbor/BBXURLSessionDelegate.h"
#include "harbor/BBXURLSessionTask.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/SerialQueue.h"

namespace lumora {

class BBXURLSession : public std::enable_shared_from_this<BBXURLSession> {
 public:
  // Null without a configuration. A delegate without a queue gets
  // newDefaultDelegateQueue().
  static std::shared_ptr<BBXURLSession> sessionWithConfiguration(
      std::shared_ptr<BBXURLSessionConfiguration> configuration,
      std::weak_ptr<BBXURLSessionDelegate> delegate = {},
      std::shared_ptr<platform::OperationQueue> delegateQueue = nullptr);
  // A serial operation queue named after this class.
  static std::shared_ptr<platform::OperationQueue> newDefaultDelegateQueue();

  ~BBXURLSession();
  BBXURLSession(const BBXURLSession&) = delete;
  BBXURLSession& operator=(const BBXURLSession&) = delete;

  // Tasks are returned unstarted; with a handler they call no delegate hook
  // but the challenge.
  std::shared_ptr<BBXURLSessionDataTask> dataTaskWithRequest(
      const platform::http::Request& request, BBXURLSessionDataTask::CompletionHandler handler = nullptr);
  std::shared_ptr<BBXURLSessionUploadTask> uploadTaskWithRequest(
      const platform::http::Request& request, const std::filesystem::path& file,
      BBXURLSessionDataTask::CompletionHandler handler = nullptr);
  std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithRequest(
      const platform::http::Request& request,
      BBXURLSessionDownloadTask::DownloadCompletionHandler handler = nullptr);
  std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithURL(const std::string& url);

  // Cancels every live task and drops the delegate.
  void invalidateAndCancel();
  // Drops the delegate; running tasks go on.
  void finishTasksAndInvalidate();
  // Reports three empty lists on the delegate queue.
  void getTasksWithCompletionHandler(
      std::function<void(const std::vector<std::shared_ptr<BBXURLSessionDataTask>>&,
                         const std::vector<std::shared_ptr<BBXURLSessionUploadTask>>&,
                         const std::vector<std::shared_ptr<BBXURLSessionDownloadTask>>&)>
          handler);

  const std::shared_ptr<BBXURLSessionConfiguration>& configuration() const { return configuration_; }
  const std::shared_ptr<platform::OperationQueue>& delegateQueue() const { return delegateQueue_; }
  std::shared_ptr<BBXURLSessionDelegate> delegate() const;
  std::string sessionDescription;

 private:
  friend class BBXURLSessionDataTask;
  friend class BBXURLSessionDownloadTask;

  BBXURLSession(std::shared_ptr<BBXURLSessionConfiguration> configuration,
                std::weak_ptr<BBXURLSessionDelegate> delegate, std::shared_ptr<platform::OperationQueue> queue);

  void configureTask(const std::shared_ptr<BBXURLSessionTask>& task, const platform::http::Request& request,
                     const std::function<void(platform::http::Request&)>& block);
  // The request's trust handler: the challenge, put to the delegate on its
  // queue, answered when the delegate calls back.
  platform::http::ChallengeDisposition serverTrustChallenge(const platform::http::ServerTrust& trust);
  bool shouldInvokeDelegate(bool hookSet, const BBXURLSessionTask& task) const;
  void removeTaskFromSet(const std::shared_ptr<BBXURLSessionTask>& task);

  // The task's notes, from the task's queue.
  void taskDidReceiveResponse(BBXURLSessionDataTask& task, const platform::http::Response& response);
  void taskDidReceiveData(BBXURLSessionDataTask& task, const platform::Bytes& data);
  void downloadTaskDidFinishDownloadingToURL(BBXURLSessionDownloadTask& task, const std::filesystem::path& url);
  void taskDidCompleteWithError(BBXURLSessionTask& task, const std::optional<platform::Error>& error);

  std::shared_ptr<BBXURLSessionConfiguration> configuration_;
  std::shared_ptr<platform::OperationQueue> delegateQueue_;
  mutable platform::SerialQueue queue_{"com.blackbox.URLSession"};
  // On queue_.
  std::weak_ptr<BBXURLSessionDelegate> delegate_;
  std::set<std::shared_ptr<BBXURLSessionTask>> taskSet_;
};

}  // namespace lumora
