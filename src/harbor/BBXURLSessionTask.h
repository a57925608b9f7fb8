// The tasks of the reporting kits' own URL session: a data task keeps the
// reply body in memory, an upload task sends a file as its body, a download
// task writes the body to a temporary file in the kit's own folder, no
// longer than the request's maxResponseBytes, and removes it once its
// handler (or the delegate) has had it, after a failure at once. Each task
// runs one request over platform::http::Connection; every event of the
// connection moves onto the task's own serial queue, where its state
// changes and its completion handler runs. A task completes exactly once, a
// cancelled one with -999.
// Ownership: shared by the session (until completion) and the caller; the
// task refers to its session weakly.
// Threading: resume() and cancel() from any thread; accessors are read on
// the task's queue. Failure: transport failures complete the task with the
// connection's error; a download file that cannot be written with
// "BBXURLSessionDownloadTaskError" -1.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/http/Connection.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

class BBXURLSession;

inline constexpr const char* kBBXURLSessionDownloadTaskErrorDomain = "BBXURLSessionDownloadTaskError";

class BBXURLSessionTask : public std::enable_shared_from_this<BBXURLSessionTask> {
 public:
  virtual ~BBXURLSessionTask();
  BBXURLSessionTask(const BBXURLSessionTask&) = delete;
  BBXURLSessionTask& operator=(const BBXURLSessionTask&) = delete;

  // Starts the request once; later calls do nothing.
  virtual void resume() = 0;
  // Stops the request; the task completes with -999 unless it already has.
  virtual void cancel() = 0;
  // Removes what the task leaves behind (a download's file).
  virtual void cleanup() {}

  platform::http::Request originalRequest() const;
  std::optional<platform::http::Response> response() const;
  std::optional<platform::Error> error() const;
  bool invokesDelegate() const;
  std::string taskDescription() const;
  void setTaskDescription(std::string description);

 protected:
  BBXURLSessionTask();

  friend class BBXURLSession;
  // The task's state: touched on queue_ only (after creation).
  std::shared_ptr<platform::SerialQueue> queue_;
  std::weak_ptr<BBXURLSession> session_;
  platform::http::Request originalRequest_;
  std::optional<platform::http::Response> response_;
  std::optional<platform::Error> error_;
  bool invokesDelegate_ = true;
  std::string taskDescription_;
};

class BBXURLSessionDataTask : public BBXURLSessionTask {
 public:
  using CompletionHandler =
      std::function<void(const std::optional<platform::Bytes>&, const std::optional<platform::http::Response>&,
                         const std::optional<platform::Error>&)>;

  static std::shared_ptr<BBXURLSessionDataTask> task();
  ~BBXURLSessionDataTask() override;

  void resume() override;
  void cancel() override;

 protected:
  BBXURLSessionDataTask() = default;

  friend class BBXURLSession;
  // On the task's queue.
  virtual void complete();
  virtual void didReceiveData(const platform::Bytes& data);
  virtual void prepareRequest(platform::http::Request&) {}
  void didReceiveResponse(const platform::http::Response& response);
  void didFail(const platform::Error& error);
  // Completes once; false when the task has completed already.
  bool claimCompletion();

  CompletionHandler completionHandler_;
  std::optional<platform::Bytes> data_;
  bool started_ = false;
  bool completed_ = false;
  // Destroyed before queue_ (declared after it): no event of the
  // connection runs once the task is gone.
  std::unique_ptr<platform::http::Connection> connection_;
};

class BBXURLSessionUploadTask final : public BBXURLSessionDataTask {
 public:
  static std::shared_ptr<BBXURLSessionUploadTask> task();

 private:
  BBXURLSessionUploadTask() = default;
};

class BBXURLSessionDownloadTask final : public BBXURLSessionDataTask {
 public:
  using DownloadCompletionHandler =
      std::function<void(const std::optional<std::filesystem::path>&,
                         const std::optional<platform::http::Response>&, const std::optional<platform::Error>&)>;

  static std::shared_ptr<BBXURLSessionDownloadTask> task();
  ~BBXURLSessionDownloadTask() override;

  // Removes the temporary file (a failure is ignored).
  void cleanup() override;
  const std::filesystem::path& targetURL() const { return targetURL_; }
  // The kit's own folder for downloads in progress.
  static std::filesystem::path temporaryDirectory();

 private:
  BBXURLSessionDownloadTask();

  friend class BBXURLSession;
  // A unique path in temporaryDirectory().
  static std::filesystem::path temporaryFileURL();
  void complete() override;
  void didReceiveData(const platform::Bytes&) override {}
  void prepareRequest(platform::http::Request& request) override;

  DownloadCompletionHandler downloadCompletionHandler_;
  std::filesystem::path targetURL_;
};

}  // namespace lumora
