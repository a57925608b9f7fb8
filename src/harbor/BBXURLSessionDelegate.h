// What a URL session of the reporting kits reports to its delegate. Every
// hook is optional: a delegate provides one by assigning it, and the session
// calls only hooks that are set. Tasks created with a completion handler
// report through the handler alone; only the server-trust challenge, which
// belongs to the session, reaches the delegate for every task.
// Threading: hooks run as operations of the session's delegate queue. The
// session holds its delegate weakly. Hooks must not throw.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Response.h"
#include "platform/http/ServerTrust.h"

namespace lumora {

class BBXURLSession;
class BBXURLSessionTask;
class BBXURLSessionDataTask;
class BBXURLSessionDownloadTask;

// A server-trust challenge: the host and the chain it presented.
struct BBXURLAuthenticationChallenge {
  std::string host;
  std::optional<platform::http::ServerTrust> serverTrust;
};

using BBXChallengeCompletion = std::function<void(platform::http::ChallengeDisposition)>;

class BBXURLSessionDelegate {
 public:
  virtual ~BBXURLSessionDelegate() = default;

  std::function<void(BBXURLSession&, const std::optional<platform::Error>&)> didBecomeInvalidWithError;
  // Must call the completion once; the handshake waits for it.
  std::function<void(BBXURLSession&, const BBXURLAuthenticationChallenge&, BBXChallengeCompletion)>
      didReceiveChallenge;
  // The completion's answer is not read: the transfer goes on.
  std::function<void(BBXURLSession&, BBXURLSessionDataTask&, const platform::http::Response&,
                     std::function<void(int)>)>
      dataTaskDidReceiveResponse;
  std::function<void(BBXURLSession&, BBXURLSessionDataTask&, const platform::Bytes&)> dataTaskDidReceiveData;
  // The file is removed once this returns.
  std::function<void(BBXURLSession&, BBXURLSessionDownloadTask&, const std::filesystem::path&)>
      downloadTaskDidFinishDownloadingToURL;
  std::function<void(BBXURLSession&, BBXURLSessionTask&, const std::optional<platform::Error>&)>
      taskDidCompleteWithError;
};

}  // namespace lumora
