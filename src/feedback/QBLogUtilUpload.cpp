// The feedback upload chain and its four exchanges.
#include <atomic>
#include <chrono>
#include <ctime>

#include "applog/LoggerRegistry.h"
#include "feedback/QBDataUtil.h"
#include "applog/QBFileLogger.h"
#include "feedback/QBLogUtil.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMStreamingMultipartFormData.h"
#include "platform/Bytes.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/Url.h"
#include "utils/AESCrypt.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

using Fields = QBDataUtil::Fields;
using Reply = platform::Result<std::string>;

constexpr const char* kResponseErrorDomain = "com.quenby.error.serialization.response";
constexpr std::int64_t kResponseErrorBadReply = -1011;

// Only one run at a time: a second entry into the background while a run
// is under way must not zip, send or delete the same files twice.
std::atomic<bool>& uploadRunning() {
  static std::atomic<bool> running{false};
  return running;
}

std::string formText(const Fields& fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!text.empty()) text += '&';
    text += platform::http::percentEncoded(name) + "=" + platform::http::percentEncoded(value);
  }
  return text;
}

bool acceptedContentType(const platform::http::Response& response) {
  auto type = response.mimeType();
  return type == "text/html" || type == "application/json";
}

// The upload client: sends on the global queue and hands the reply body (a
// status from 200 to 299 with an accepted content type) or the failure to
// `finish` on the main queue.
void send(platform::http::Request request, std::function<void(Reply)> finish) {
  // Only the service that received a POST's body may answer for it.
  request.bodyMustArrive = true;
  platform::globalQueue().async([request = std::move(request), finish = std::move(finish)] {
    auto reply = platform::http::sendSynchronousRequest(request);
    Reply result = platform::Error(kResponseErrorDomain, kResponseErrorBadReply);
    if (reply.error) {
      result = *reply.error;
    } else if (reply.response && reply.response->statusCode() >= 200 &&
               reply.response->statusCode() < 300 && acceptedContentType(*reply.response)) {
      result = std::string(reply.data.begin(), reply.data.end());
    } else {
      int status = reply.response ? reply.response->statusCode() : 0;
      result = platform::Error(kResponseErrorDomain, kResponseErrorBadReply,
                               platform::Json{{platform::Error::kLocalizedDescriptionKey,
                                               "Request failed: status " + std::to_string(status)}});
    }
    platform::MainQueue::main().async([finish, result = std::move(result)] { finish(result); });
  });
}

// A signed exchange: the fields with their sign, encrypted and signed,
// sent as GET query or form POST; `finish` gets the decrypted, parsed reply.
void sendSigned(const std::string& method, const std::string& url, const std::string& payloadName,
                const std::string& payload,
                std::function<void(std::optional<platform::Json> reply, bool transportOk)> finish) {
  Fields fields{{payloadName, payload},
                {"appId", QBLogUtil::kAppId},
                {"sign", QBDataUtil::md5String(std::string(QBLogUtil::kSignKey) + payloadName + payload)}};
  std::string body = formText(QBDataUtil::encryptRequestParam(fields, url, method));
  platform::http::Request request;
  request.method = method;
  if (method == "GET") {
    request.url = platform::http::urlByAppendingQuery(url, body);
  } else {
    request.url = url;
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
    request.body.assign(body.begin(), body.end());
  }
  send(std::move(request), [finish = std::move(finish)](Reply reply) {
    if (!reply.ok()) {
      QB_LOG_ERROR("{}", reply.error().description());
      finish(std::nullopt, false);
      return;
    }
    auto parsed = QBDataUtil::jsonObjectFromString(QBDataUtil::decryptResponseObject(reply.value()));
    finish(parsed.ok() ? std::optional<platform::Json>(std::move(*parsed)) : std::nullopt, true);
  });
}

std::optional<std::string> stringField(const std::optional<platform::Json>& reply, const char* name) {
  if (!reply || !reply->is_object()) return std::nullopt;
  auto it = reply->find(name);
  if (it == reply->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string reportTimestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(platform::Clock::currentTime());
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local));
}

void continueAfterLogin(std::function<void()> finish);

}  // namespace

std::string QBLogUtil::feedbackBaseURL() { return ServiceHosts::baseURL(ServiceHosts::kFeedback); }

std::string QBLogUtil::feedbackCallbackURL() { return ServiceHosts::feedbackCallbackURL(); }

void QBLogUtil::uploadLogFiles(Completion completion) {
  platform::MainQueue::runOrPost([completion = std::move(completion)] { uploadLogs(completion); });
}

void QBLogUtil::uploadLogs(Completion completion) {
  if (uploadRunning().exchange(true)) {
    if (completion) completion();
    return;
  }
  auto finish = [completion = std::move(completion)] {
    removeUploadLeftovers();
    uploadRunning() = false;
    if (completion) completion();
  };
  auto manager = QBPassportsManager::sharedManager();
  auto userId = manager->userId();
  if (!userId || userId->empty()) return finish();

  auto feedback = manager->passportForSid(kFeedbackSid, userId);
  auto cloud = manager->passportForSid(kCloudSid, userId);
  if (!feedback || !cloud) return finish();
  feedback->setUserIdNeedEncrypt(true);
  auto passToken = cloud->passToken();
  auto serviceToken = cloud->serviceToken();
  if (!passToken || passToken->empty() || !serviceToken || serviceToken->empty()) return finish();
  feedback->setDeviceId(cloud->deviceId());
  feedback->setPassToken(passToken);
  feedback->setSSecurity(cloud->sSecurity());
  feedback->setMaskedPhone(cloud->maskedPhone());
  feedback->setNonce(cloud->nonce());
  feedback->setCallbackUrl(feedbackCallbackURL());

  manager->reLoginForSid(kFeedbackSid, [finish, userId](const platform::Status& status) {
    if (!status.ok()) {
      QB_LOG_ERROR("{}", status.error().description());
      return finish();
    }
    auto login = QBPassportsManager::sharedManager()->passportForSid(kFeedbackSid, userId);
    if (!login) return finish();
    QBDataUtil::setCookieName("cUserId", login->cUserId());
    QBDataUtil::setCookieName("serviceToken", login->serviceToken());
    continueAfterLogin(finish);
  });
}

namespace {

void continueAfterLogin(std::function<void()> finish) {
  auto afterRoll = [finish](const std::vector<std::string>& names) {
    QBLogUtil::requestUploadURL(QBLogUtil::deviceInfo(), [finish, names](std::optional<std::string> url) {
      if (!url) return finish();
      auto zip = QBLogUtil::zipLogFiles(names);
      if (!zip) return finish();
      QBLogUtil::requestUploadLogZip(*zip, *url, [finish, names](std::optional<std::string> commit) {
        if (!commit) return finish();
        QBLogUtil::requestCommit(commit, [finish, names](std::optional<std::string> downloadUrl) {
          if (!downloadUrl) return finish();
          QBLogUtil::requestFeedback(downloadUrl, [finish, names](bool delivered) {
            // Only a report the service took lets the files go, and only
            // the files that went into the zip.
            if (delivered) QBLogUtil::removeLogFiles(names);
            finish();
          });
        });
      });
    });
  };
  if (auto logger = QBLogUtil::fileLogger()) {
    logger->rollLogFile(afterRoll);
  } else {
    platform::globalQueue().async([afterRoll] { afterRoll({}); });
  }
}

}  // namespace

void QBLogUtil::requestUploadURL(const std::optional<platform::Json>& info,
                                 std::function<void(std::optional<std::string>)> finish) {
  if (!info) {
    platform::MainQueue::main().async([finish] { finish(std::nullopt); });
    return;
  }
  std::string request = QBDataUtil::stringFromJSONObject(*info).valueOr("");
  sendSigned("GET", feedbackBaseURL() + kRequestUploadPath, "request", request,
             [finish](std::optional<platform::Json> reply, bool) { finish(stringField(reply, "uploadUrl")); });
}

void QBLogUtil::requestUploadLogZip(const std::filesystem::path& zipPath, const std::string& url,
                                    std::function<void(std::optional<std::string>)> finish) {
  platform::http::Request request;
  request.method = "POST";
  request.url = url;
  LMStreamingMultipartFormData form(request);
  auto attached = form.appendPartWithFileURL(zipPath, kFilePartName, zipPath.filename().string(),
                                             "application/zip");
  if (!attached.ok()) QB_LOG_ERROR("{}", attached.error().description());
  request = form.requestByFinalizingMultipartFormData();
  send(std::move(request), [finish](Reply reply) {
    if (!reply.ok()) {
      QB_LOG_ERROR("{}", reply.error().description());
      return finish(std::nullopt);
    }
    finish(commitTextFromReply(reply.value()));
  });
}

void QBLogUtil::requestCommit(const std::optional<std::string>& commit,
                              std::function<void(std::optional<std::string>)> finish) {
  if (!commit) {
    platform::MainQueue::main().async([finish] { finish(std::nullopt); });
    return;
  }
  sendSigned("POST", feedbackBaseURL() + kCommitUploadPath, "commit", *commit,
             [finish](std::optional<platform::Json> reply, bool) { finish(stringField(reply, "downloadUrl")); });
}

void QBLogUtil::requestFeedback(const std::optional<std::string>& downloadUrl,
                                std::function<void(bool)> finish) {
  if (!downloadUrl) {
    platform::MainQueue::main().async([finish] { finish(false); });
    return;
  }
  platform::Json report = deviceInfo();
  report["appId"] = kAppId;
  report["timestamp"] = reportTimestamp();
  report["logFile"] = *downloadUrl;
  auto data = QBDataUtil::stringFromJSONObject(report);
  if (!data.ok()) {
    QB_LOG_ERROR("{}", data.error().description());
    platform::MainQueue::main().async([finish] { finish(false); });
    return;
  }
  sendSigned("POST", feedbackBaseURL() + kReportPath, "data", *data,
             [finish](std::optional<platform::Json> reply, bool transportOk) {
               // The report counts only when the service says it took it.
               bool taken = transportOk && reply && reply->is_object() &&
                            reply->value("code", platform::Json()) == 0;
               if (transportOk && !taken) QB_LOG_ERROR("The feedback service refused the report");
               finish(taken);
             });
}

std::optional<std::string> QBLogUtil::commitTextFromReply(const std::string& reply) {
  if (!platform::isValidUtf8(reply)) return std::nullopt;
  std::string flat = base64Encoding(platform::Bytes(reply.begin(), reply.end()));
  std::string lines;
  lines.reserve(flat.size() + flat.size() / 32);
  for (std::size_t at = 0; at < flat.size(); at += 64) {
    if (at > 0) lines += "\r\n";
    lines.append(flat, at, 64);
  }
  return lines;
}

}  // namespace lumora
