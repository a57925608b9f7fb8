#include "cloud/request/LMHTTPRequestLoop.h"

#include <utility>

#include "platform/http/Url.h"
#include "platform/http/UrlError.h"
#include "utils/LMErrors.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

void logOutcome(const std::shared_ptr<LMHTTPRequestOperation>& operation) {
  LM_LOG_INFO("Request URL: {}", LMLoggableURL(operation->request().url));
  // A transfer that failed is not decoded; decoding may fail in its turn.
  auto failure = operation->error();
  // The reply is shared, not copied: a listing may be tens of MiB.
  std::shared_ptr<const platform::Json> object;
  if (!failure) {
    object = operation->sharedResponseObject();
    failure = operation->error();
  }
  if (failure) {
    LM_LOG_ERROR("Request failed: {}", failure->description());
    return;
  }
  LM_LOG_VERBOSE("Response: {}", object ? LMLoggableJSONText(*object) : std::string("(null)"));
}

bool isTrue(const platform::Json& value) {
  return (value.is_boolean() && value.get<bool>()) || (value.is_number() && value.get<double>() != 0);
}

}  // namespace

LMHTTPRequestLoop::LMHTTPRequestLoop(std::shared_ptr<LMHTTPRequestOperationManager> manager)
    : manager_(manager ? std::move(manager) : LMHTTPRequestOperationManager::manager()),
      cancellation_(std::make_shared<platform::Cancellation>()) {
  redirectFactory_ = [manager = manager_](platform::http::Request request, const std::string& sid,
                                          const std::optional<LMSignedSession>& session) {
    return manager->HTTPRequestOperationWithRequest(std::move(request), sid, session);
  };
}

void LMHTTPRequestLoop::setRedirectFactory(RedirectFactory factory) {
  if (factory) redirectFactory_ = std::move(factory);
}

void LMHTTPRequestLoop::setPermanentRedirectHandler(std::function<void()> handler) {
  permanentRedirect_ = std::move(handler);
}

std::shared_ptr<platform::Cancellation> LMHTTPRequestLoop::currentCancellation() {
  std::lock_guard<std::mutex> guard(mutex_);
  return cancellation_;
}

void LMHTTPRequestLoop::cancel() {
  std::shared_ptr<platform::Cancellation> running;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    running = std::exchange(cancellation_, std::make_shared<platform::Cancellation>());
  }
  running->cancel();
}

void LMHTTPRequestLoop::startUnder(platform::Cancellation& cancellation,
                                   const std::shared_ptr<LMHTTPRequestOperation>& operation,
                                   platform::Clock::Duration minimum) {
  auto clock = platform::Clock::current();
  const auto began = clock->steadyNow();
  std::weak_ptr<LMHTTPRequestOperation> weak = operation;
  auto hook = cancellation.onCancel([weak] {
    if (auto alive = weak.lock()) alive->cancel();
  });
  operation->start();
  cancellation.removeHook(hook);
  const auto took = clock->steadyNow() - began;
  if (took < minimum) cancellation.waitFor(minimum - took);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestLoop::run(const OperationFactory& makeOperation,
                                                               bool followRedirects,
                                                               platform::Clock::Duration minimumSendTime) {
  auto cancellation = currentCancellation();
  std::size_t redirects = 0;
  std::shared_ptr<LMHTTPRequestOperation> operation;
  for (int tries = kMaxRequestTries; tries > 0; --tries) {
    auto next = makeOperation ? makeOperation() : nullptr;
    if (!next) break;
    operation = std::move(next);
    startUnder(*cancellation, operation, minimumSendTime);
    bool finished = false;
    while (followRedirects && !cancellation->isCancelled()) {
      auto redirected = redirectRequestOperationForOperation(operation, redirects);
      if (!redirected) break;
      operation = redirected;
      if (redirected->error()) {
        finished = true;
        break;
      }
      ++redirects;
      startUnder(*cancellation, redirected, minimumSendTime);
    }
    if (finished || tries < 2 || cancellation->isCancelled()) break;
    auto delay = LMUtils::retryDelayForRequestWithError(operation->error());
    if (!delay) break;
    if (*delay > platform::Clock::Duration::zero()) {
      LM_LOG_INFO("Sending {} again in {} s", LMLoggableURL(operation->request().url),
                  std::chrono::duration<double>(*delay).count());
      if (!cancellation->waitFor(*delay)) break;
    }
  }
  if (!operation) {
    operation = std::make_shared<LMHTTPRequestOperation>(
        LMUtils::localErrorWithErrorCode(kLMLocalErrorGeneral, {{kLMErrorReasonKey, "No request to send."}}),
        "");
  } else if (cancellation->isCancelled() && !operation->isCancelled()) {
    // Cancelled between sends: the last outcome gives way to the cancel.
    operation->setError(
        platform::http::makeUrlError(platform::http::kUrlErrorCancelled, operation->request().url));
  }
  logOutcome(operation);
  return operation;
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestLoop::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid) {
  auto manager = manager_;
  return run([&] { return manager->requestWithMethod(method, URLString, parameters, passportSid); });
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestLoop::redirectRequestOperationForOperation(
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
  if (permanent != data->end() && isTrue(*permanent) && permanentRedirect_) permanentRedirect_();

  platform::http::Request request = operation->request();
  request.headers.set(kRedirectCountHeader, std::to_string(redirectTimes));
  auto target = data->find("redirectUrl");
  std::string redirectUrl =
      target != data->end() && target->is_string() ? target->get<std::string>() : std::string();
  // A query method carries its signed parameters in the URL: keep them.
  bool queryMethod = manager_->requestSerializer()->encodesParametersInURI(request.method);
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
  return redirectFactory_(std::move(request), operation->passportSid(), operation->session());
}

}  // namespace lumora
