#include "cloud/lumora/LMSyncAdapter.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "account/Hardware.h"
#include "account/QBPassport.h"
#include "cloud/lumora/LMSync.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMSignedSession.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/ServiceHosts.h"
#include "platform/BackgroundTask.h"
#include "platform/Clock.h"
#include "platform/ConcurrentQueue.h"
#include "platform/Device.h"
#include "platform/JsonValues.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

// ---- The process-wide host list ----

std::mutex& hostListMutex() {
  static std::mutex mutex;
  return mutex;
}

platform::Json& hostListStorage() {
  static auto* list = [] {
    auto stored = platform::UserDefaults::standard().dictionaryForKey(LMSyncAdapter::kHostListDefaultsKey);
    return new platform::Json(stored && stored->is_object() ? *stored : platform::Json::object());
  }();
  return *list;
}

struct URLParts {
  std::string scheme;     // "http"
  std::string authority;  // "host:port"
  std::string rest;       // path and beyond
};

URLParts splitURL(const std::string& url) {
  URLParts parts;
  std::string::size_type start = 0;
  auto schemeEnd = url.find("://");
  if (schemeEnd != std::string::npos) {
    parts.scheme = url.substr(0, schemeEnd);
    start = schemeEnd + 3;
  }
  auto end = url.find_first_of("/?#", start);
  parts.authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (end != std::string::npos) parts.rest = url.substr(end);
  return parts;
}

void logOutcome(const std::shared_ptr<LMHTTPRequestOperation>& operation,
                std::optional<platform::Error>* error) {
  if (!operation) return;
  LM_LOG_INFO("Request URL: {}", operation->request().url);
  // A transfer that failed is not decoded; decoding may fail in its turn.
  auto failure = operation->error();
  std::optional<platform::Json> object;
  if (!failure) {
    object = operation->responseObject();
    failure = operation->error();
  }
  if (failure) {
    LM_LOG_ERROR("Request failed: {}", failure->description());
    if (error) *error = failure;
    return;
  }
  LM_LOG_VERBOSE("Response: {}", object ? object->dump() : std::string("(null)"));
}

platform::Error notLoggedIn() {
  platform::Error error = LMNotLoggedInError();
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// The signed-in user's id; without one, the logged -10001 goes to `error`.
std::optional<std::string> signedInUserId(std::optional<platform::Error>* error) {
  auto userId = QBPassportsManager::sharedManager()->userId();
  if (userId && !userId->empty()) return userId;
  platform::Error failure = notLoggedIn();
  if (error) *error = failure;
  return std::nullopt;
}

// A platform background task held by one background job from the moment it
// is queued until it has run or was dropped, so the app is not suspended
// while the job waits for the one before it. When the time runs out the
// task is ended and the job goes on as far as the platform lets it.
class BackgroundTaskHold {
 public:
  static std::shared_ptr<BackgroundTaskHold> begin(const std::string& name) {
    auto hold = std::make_shared<BackgroundTaskHold>();
    std::weak_ptr<BackgroundTaskHold> weak = hold;
    hold->identifier_ = platform::BackgroundTask::begin(name, [weak, name] {
      LM_LOG_WARN("Background time ran out for a job of {}", name);
      if (auto alive = weak.lock()) alive->end();
    });
    return hold;
  }
  ~BackgroundTaskHold() { end(); }

  void end() { platform::BackgroundTask::end(identifier_.exchange(platform::BackgroundTask::kInvalid)); }

 private:
  std::atomic<platform::BackgroundTask::Identifier> identifier_{platform::BackgroundTask::kInvalid};
};

}  // namespace

LMSyncAdapter::LMSyncAdapter()
    : httpRequestManager_(LMHTTPRequestOperationManager::manager()),
      taskOperationQueue_("com.quenby.lumora.sdk.task.queue", 1),
      dataRequestOperationQueue_("com.quenby.lumora.sdk.data.request.queue", 1) {
  httpRequestManager_->requestSerializer()->setTimeoutInterval(30.0);
}

LMSyncAdapter::~LMSyncAdapter() = default;

// ---- Task queue and flags ----

void LMSyncAdapter::performTaskBlock(std::function<void()> block) {
  performTaskBlock(std::move(block), false);
}

void LMSyncAdapter::performTaskBlock(std::function<void()> block, bool background) {
  std::lock_guard<std::recursive_mutex> guard(operationQueueLock_);
  if (!block) return;
  std::shared_ptr<BackgroundTaskHold> hold;
  if (background) hold = BackgroundTaskHold::begin(taskOperationQueue_.name());
  // A dropped job releases its task with the operation that holds it.
  auto operation = std::make_shared<platform::Operation>(
      [block = std::move(block), hold](const platform::Operation&) {
        block();
        if (hold) hold->end();
      });
  setInBackground(operation, background);
  taskOperationQueue_.addOperation(operation);
}

bool LMSyncAdapter::backgroundTaskIsRunning() const {
  std::lock_guard<std::recursive_mutex> guard(operationQueueLock_);
  auto operations = taskOperationQueue_.operations();
  if (operations.empty()) return false;
  return inBackground(*operations.back());
}

void LMSyncAdapter::setSyncing(bool syncing) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (syncing_.load() == syncing) return;
  syncing_.store(syncing);
  suspended_.store(false);
  cancelled_.store(false);
}

void LMSyncAdapter::setCancelled(bool cancelled) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  cancelled_.store(cancelled);
}

void LMSyncAdapter::setSuspended(bool suspended) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  suspended_.store(suspended);
}

bool LMSyncAdapter::suspendSync() { return false; }
bool LMSyncAdapter::resumeSync() { return false; }
bool LMSyncAdapter::cancelSync() { return false; }

void LMSyncAdapter::performMainThreadBlock(const std::function<void()>& block) {
  if (!block) return;
  if (platform::MainQueue::isMainThread()) {
    block();
  } else {
    platform::MainQueue::main().sync(block);
  }
}

void LMSyncAdapter::fileAPIProtectionTime(double seconds, const std::function<void()>& block) {
  auto clock = platform::Clock::current();
  auto start = clock->now();
  if (block) block();
  auto elapsed = clock->now() - start;
  auto minimum = platform::seconds(seconds);
  if (elapsed < minimum) clock->sleepFor(minimum - elapsed);
}

// ---- Hosts and relocation ----

platform::Json LMSyncAdapter::hostList() const {
  std::lock_guard<std::mutex> guard(hostListMutex());
  return hostListStorage();
}

void LMSyncAdapter::setHostList(const std::optional<platform::Json>& hostList) {
  std::lock_guard<std::mutex> guard(hostListMutex());
  hostListStorage() = hostList && hostList->is_object() ? *hostList : platform::Json::object();
}

std::string LMSyncAdapter::baseURLForService(const std::string& serviceKey) const {
  URLParts parts = splitURL(ServiceHosts::baseURL(serviceKey));
  platform::Json list = hostList();
  auto entry = list.find(parts.authority);
  if (entry != list.end() && platform::isNonEmptyString(*entry)) {
    parts.authority = entry->get<std::string>();
  }
  return (parts.scheme.empty() ? std::string("http") : parts.scheme) + "://" + parts.authority +
         parts.rest;
}

std::string LMSyncAdapter::relocationURL() const {
  return baseURLForService(forTest() ? ServiceHosts::kRelocationPreview : ServiceHosts::kRelocation);
}

std::string LMSyncAdapter::deviceInfoURL() const {
  return baseURLForService(ServiceHosts::kDeviceInfo);
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::requestHostListWithRomCountry(
    const std::optional<std::string>& romCountry, std::optional<platform::Error>* error) {
  auto userId = signedInUserId(error);
  if (!userId) return nullptr;
  platform::Json parameters{{"romCountry", romCountry.value_or(std::string())}};
  std::string url = relocationURL() + "/lum/relocation/v3/user/" + *userId + "/record";

  std::shared_ptr<LMHTTPRequestOperation> operation;
  for (int attempt = 1; attempt <= kMaxRequestTries; ++attempt) {
    operation = httpRequestManager_->POST(url, parameters, kLumoraPassportSid);
    operation->start();
    if (attempt == kMaxRequestTries || !LMUtils::shouldRetryRequestWithError(operation->error())) {
      break;
    }
  }

  std::optional<platform::Error> failure;
  logOutcome(operation, &failure);
  if (failure) {
    if (error) *error = failure;
    return operation;
  }
  auto object = operation->responseObject();
  if (object && object->is_object()) {
    auto data = object->find("data");
    if (data != object->end() && data->is_object() && !data->empty()) {
      auto list = data->find("hostList");
      setHostList(list != data->end() ? std::optional<platform::Json>(*list) : std::nullopt);
      auto& defaults = platform::UserDefaults::standard();
      defaults.setDictionary(kHostListDefaultsKey, hostList());
      defaults.synchronize();
    }
  }
  return operation;
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::operationWithRequest(
    platform::http::Request request, const std::string& passportSid) {
  return httpRequestManager_->HTTPRequestOperationWithRequest(std::move(request), passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::redirectRequestOperationForOperation(
    const std::shared_ptr<LMHTTPRequestOperation>& operation, std::size_t redirectTimes) {
  if (!operation) return nullptr;
  auto failure = operation->error();
  if (!failure || failure->code() != kRedirectCode || failure->domain() != kLMServerErrorDomain) {
    return nullptr;
  }
  const platform::Json& info = failure->userInfo();
  if (!info.is_object() || info.empty()) return nullptr;
  auto data = info.find("data");
  if (data == info.end() || !data->is_object() || data->empty()) return nullptr;

  auto permanent = data->find("isPermanent");
  if (permanent != data->end() &&
      ((permanent->is_boolean() && permanent->get<bool>()) ||
       (permanent->is_number() && permanent->get<double>() != 0))) {
    requestHostListWithRomCountry(std::nullopt, nullptr);
  }

  platform::http::Request request = operation->request();
  request.headers.set(kRedirectCountHeader, std::to_string(redirectTimes));
  auto target = data->find("redirectUrl");
  std::string redirectUrl =
      target != data->end() && target->is_string() ? target->get<std::string>() : std::string();
  // A query method carries its signed parameters in the URL: keep them.
  bool queryMethod = httpRequestManager_->requestSerializer()->encodesParametersInURI(request.method);
  auto query = platform::http::queryOfURLText(request.url);
  if (queryMethod && query && !redirectUrl.empty() && !platform::http::queryOfURLText(redirectUrl)) {
    redirectUrl = platform::http::urlByAppendingQuery(redirectUrl, *query);
  }
  request.url = redirectUrl;

  if (redirectTimes >= kMaxRedirects) {
    auto failed = std::make_shared<LMHTTPRequestOperation>(
        platform::Error(kLMServerErrorDomain, kInfiniteRedirectCode,
                        {{kLMErrorReasonKey, "Infinite redirect error"},
                         {kLMErrorDescriptionKey, "Overseas API Error"}}),
        operation->passportSid());
    failed->setRequest(std::move(request));
    return failed;
  }
  return operationWithRequest(std::move(request), operation->passportSid());
}

// ---- The request loop ----

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::performRequestOperation(
    const OperationFactory& makeOperation, std::optional<platform::Error>* error) {
  if (!makeOperation) return nullptr;
  int tries = kMaxRequestTries;
  std::size_t redirects = 0;
  std::shared_ptr<LMHTTPRequestOperation> operation;
  bool finished = false;
  while (!finished) {
    operation = makeOperation();
    if (!operation) break;
    operation->start();
    while (auto redirected = redirectRequestOperationForOperation(operation, redirects)) {
      operation = redirected;
      if (redirected->error()) {
        finished = true;
        break;
      }
      ++redirects;
      redirected->start();
    }
    if (finished || tries < 2) break;
    --tries;
    if (!LMUtils::shouldRetryRequestWithError(operation->error())) break;
  }
  logOutcome(operation, error);
  return operation;
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid,
    std::optional<platform::Error>* error) {
  auto manager = httpRequestManager_;
  return performRequestOperation(
      [manager, method, URLString, parameters, passportSid] {
        return manager->requestWithMethod(method, URLString, parameters, passportSid);
      },
      error);
}

// ---- Device information ----

std::optional<platform::Error> LMSyncAdapter::updateDeviceInfoServiceInfo() {
  std::optional<platform::Error> failure;
  auto userId = signedInUserId(&failure);
  if (!userId) return failure;
  auto manager = QBPassportsManager::sharedManager();
  auto devicePassport = manager->passportForSid(kDeviceInfoPassportSid, *userId);
  auto cloudPassport = manager->passportForSid(kLumoraPassportSid, *userId);
  if (!devicePassport || !cloudPassport) return notLoggedIn();

  auto passToken = cloudPassport->passToken();
  auto serviceToken = cloudPassport->serviceToken();
  if (!passToken || passToken->empty() || !serviceToken || serviceToken->empty()) {
    return notLoggedIn();
  }
  devicePassport->setDeviceId(cloudPassport->deviceId());
  devicePassport->setPassToken(passToken);
  devicePassport->setSSecurity(cloudPassport->sSecurity());
  devicePassport->setMaskedPhone(cloudPassport->maskedPhone());
  devicePassport->setNonce(cloudPassport->nonce());
  devicePassport->setCallbackUrl(ServiceHosts::baseURL(ServiceHosts::kDeviceInfo) + "/udi/sts");

  if (auto failure = manager->reLoginForSid(kDeviceInfoPassportSid)) {
    LM_LOG_ERROR("Device information login failed: {}", failure->description());
    return failure;
  }
  return std::nullopt;
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::requestAllDeviceInfo(
    std::optional<platform::Error>* error) {
  auto userId = signedInUserId(error);
  if (!userId) return nullptr;
  platform::Json meta = platform::Json::array(
      {"capability", "deviceName", "model", "osVersion", "_phoneInfo", "channel_id"});
  platform::Json parameters{{"userId", *userId},
                            {"meta", LMUtils::stringFromJSONObject(meta).value_or("[]")}};
  return requestWithMethod("GET", deviceInfoURL() + "/api/user/devices/setting", parameters,
                           kDeviceInfoPassportSid, error);
}

std::shared_ptr<LMHTTPRequestOperation> LMSyncAdapter::requestRegisterDeviceInfo(
    std::optional<platform::Error>* error) {
  auto userId = signedInUserId(error);
  if (!userId) return nullptr;
  auto passport = QBPassportsManager::sharedManager()->passportForSid(kDeviceInfoPassportSid, *userId);
  std::string deviceId = passport ? passport->deviceId().value_or(std::string()) : std::string();
  if (deviceId.empty()) {
    platform::Error failure = LMUtils::localErrorWithErrorCode(
        kLMLocalErrorInvalidParameters,
        {{kLMErrorReasonKey, "The device id is missing."}, {kLMErrorDescriptionKey, kLMErrorTitleParam}});
    LM_LOG_ERROR("{}", failure.description());
    if (error) *error = failure;
    return nullptr;
  }

  auto entry = [](const char* name, platform::Json value) {
    return platform::Json{{"name", name}, {"value", std::move(value)}};
  };
  platform::Json content = platform::Json::array({
      entry("deviceName", platform::Device::name()),
      entry("model", deviceModel()),
      entry("osVersion", platform::Device::systemVersion()),
      entry("_phoneInfo", platform::Json::array()),
  });
  platform::Json parameters{{"userId", *userId},
                            {"devId", deviceId.substr(0, std::min<std::size_t>(16, deviceId.size()))},
                            {"content", LMUtils::stringFromJSONObject(content).value_or("[]")}};
  return requestWithMethod("POST", deviceInfoURL() + "/api/user/device/setting", parameters,
                           kDeviceInfoPassportSid, error);
}

void LMSyncAdapter::registerDeviceInfo(std::function<void(std::optional<platform::Error>)> completion) {
  std::weak_ptr<LMSyncAdapter> weakSelf = weak_from_this();
  platform::globalQueue().async([weakSelf, completion = std::move(completion)] {
    std::optional<platform::Error> failure;
    if (auto self = weakSelf.lock()) {
      failure = self->updateDeviceInfoServiceInfo();
      if (!failure) self->requestRegisterDeviceInfo(&failure);
    } else {
      failure = LMUtils::localErrorWithErrorCode(
          kLMLocalErrorGeneral, {{kLMErrorReasonKey, "The sync adapter no longer exists."},
                                 {kLMErrorDescriptionKey, kLMErrorTitleSync}});
    }
    if (!completion) return;
    platform::MainQueue::main().async([completion, failure] { completion(failure); });
  });
}

}  // namespace lumora
