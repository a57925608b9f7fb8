#include "account/QBPassportURLConnectionAndDelegate.h"

#include "account/KPNumberValues.h"
#include "account/QBPassport.h"
#include "account/QBPassportRequest.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "platform/JsonParse.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

// A reply's "code" read as a 32-bit integer the way the platform's number
// and text objects answer intValue; values that are neither count as 0. A
// code beyond 32 bits is held to their range: it stays a failure, never
// wraps to 0.
std::int32_t codeValue(const platform::Json& code) { return kpIntegerValue<std::int32_t>(code); }

}  // namespace

QBPassportURLConnectionAndDelegate::QBPassportURLConnectionAndDelegate(
    std::shared_ptr<QBPassportRequestDelegate> delegate)
    : delegate_(std::move(delegate)) {}

std::shared_ptr<QBPassportURLConnectionAndDelegate> QBPassportURLConnectionAndDelegate::initWithDelegate(
    std::shared_ptr<QBPassportRequestDelegate> delegate) {
  return std::make_shared<QBPassportURLConnectionAndDelegate>(std::move(delegate));
}

QBPassportURLConnectionAndDelegate::~QBPassportURLConnectionAndDelegate() = default;

void QBPassportURLConnectionAndDelegate::connect(const platform::http::Request& urlRequest) {
  if (auto served = request()) {
    QBPassportRequestMemoryHolder::addQBPassportRequest(served);
    setRequestRecoredInRequestMemoryManager(true);
  }
  // The callbacks hold this object weakly and keep it alive while they run;
  // between them the registered request keeps it alive.
  std::weak_ptr<QBPassportURLConnectionAndDelegate> weak = shared_from_this();
  platform::http::Connection::Callbacks callbacks;
  callbacks.didReceiveResponse = [weak](const platform::http::Response& response) {
    if (auto self = weak.lock()) self->connectionDidReceiveResponse(response);
  };
  callbacks.didReceiveData = [weak](const platform::Bytes& data) {
    if (auto self = weak.lock()) self->connectionDidReceiveData(data);
  };
  callbacks.didFinishLoading = [weak]() {
    if (auto self = weak.lock()) self->connectionDidFinishLoading();
  };
  callbacks.didFailWithError = [weak](const platform::Error& error) {
    if (auto self = weak.lock()) self->connectionDidFailWithError(error);
  };
  // No executor: the callbacks run on the connection's worker thread, one
  // after the other, off the main thread.
  auto connection = std::make_shared<platform::http::Connection>(urlRequest, std::move(callbacks));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    connection_ = connection;
  }
  connection->start();
}

void QBPassportURLConnectionAndDelegate::connectionDidReceiveResponse(const platform::http::Response& response) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    responseData_.clear();
    statusCode_ = response.statusCode();
  }
  if (delegate_ && delegate_->requestDidReceiveResponse) delegate_->requestDidReceiveResponse(request(), response);
}

void QBPassportURLConnectionAndDelegate::connectionDidReceiveData(const platform::Bytes& data) {
  std::lock_guard<std::mutex> guard(mutex_);
  responseData_.insert(responseData_.end(), data.begin(), data.end());
}

void QBPassportURLConnectionAndDelegate::connectionDidFinishLoading() {
  handleResponseData(responseData());
  didConnectionFinish();
}

void QBPassportURLConnectionAndDelegate::connectionDidFailWithError(const platform::Error& error) {
  failedWithError(error);
  didConnectionFinish();
}

void QBPassportURLConnectionAndDelegate::handleResponseData(const platform::Bytes& data) {
  if (!delegate_) return;
  auto served = request();
  if (delegate_->requestDidLoadRawResponse) delegate_->requestDidLoadRawResponse(served, data);
  if (!delegate_->requestDidLoad && !delegate_->requestDidFailWithError) return;

  auto parsed = parseJsonResponse(data);
  std::optional<platform::Json> result = parsed.ok() ? std::move(*parsed) : std::nullopt;

  std::optional<int> status;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    status = statusCode_;
  }
  if (status && *status >= 400) {
    // An HTTP failure is a failure whatever the body says; the reply, when
    // it is a JSON object, travels as user info.
    platform::Json reply = result && result->is_object() ? std::move(*result)
                           : parsed.ok()                   ? platform::Json()
                                                           : parsed.error().userInfo();
    failedWithError(formError(*status, std::move(reply)));
    return;
  }
  if (!parsed.ok()) {
    failedWithError(parsed.error());
    return;
  }
  if (delegate_->requestDidLoad) delegate_->requestDidLoad(served, result ? *result : platform::Json::binary(data));
}

platform::Result<std::optional<platform::Json>> QBPassportURLConnectionAndDelegate::parseJsonResponse(
    const platform::Bytes& data) {
  std::optional<std::string> text = platform::toString(data);
  if (!platform::isValidUtf8(*text)) text.reset();
  auto served = request();
  if (served && served->cryptCoder()) {
    text = text ? served->cryptCoder()->decryptString(*text) : std::nullopt;
    if (text && !platform::isValidUtf8(*text)) text.reset();
  }
  if (!text) return std::optional<platform::Json>();
  // The marker is only recognised where it belongs: at the very start.
  if (text->starts_with(kReplyStartMarker)) text->erase(0, kReplyStartMarker.size());

  // A reply nested past the bound is malformed: refused before it is
  // parsed, so nothing copies it.
  if (platform::jsonNestsDeeperThan(*text)) {
    return platform::Error(kLMJSONErrorDomain, kLMJSONErrorCode,
                           {{platform::Error::kLocalizedDescriptionKey, "The reply nests too deeply to be read."}});
  }
  platform::Json parsed = platform::Json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_discarded() && parsed.is_object() && !parsed.empty()) {
    auto code = parsed.find("code");
    if (code == parsed.end()) return std::optional(std::move(parsed));
    std::int32_t value = codeValue(*code);
    if (value == 0) return std::optional(std::move(parsed));
    return formError(value, std::move(parsed));
  }
  return std::optional(platform::Json(*text));
}

void QBPassportURLConnectionAndDelegate::failedWithError(const platform::Error& error) {
  if (delegate_ && delegate_->requestDidFailWithError) delegate_->requestDidFailWithError(request(), error);
}

void QBPassportURLConnectionAndDelegate::didConnectionFinish() {
  std::shared_ptr<platform::http::Connection> connection;
  bool recorded = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    responseData_.clear();
    connection = std::move(connection_);
    connection_.reset();
    recorded = requestRecoredInRequestMemoryManager_;
    requestRecoredInRequestMemoryManager_ = false;
  }
  if (connection) connection->cancel();
  connection.reset();
  if (recorded) QBPassportRequestMemoryHolder::removeQBPassportRequest(request());
}

platform::Error QBPassportURLConnectionAndDelegate::formError(std::int64_t code, platform::Json userInfo) {
  return platform::Error(QBPassport::kErrorDomain, code, std::move(userInfo));
}

platform::Bytes QBPassportURLConnectionAndDelegate::responseData() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return responseData_;
}

void QBPassportURLConnectionAndDelegate::setResponseData(platform::Bytes data) {
  std::lock_guard<std::mutex> guard(mutex_);
  responseData_ = std::move(data);
}

std::shared_ptr<platform::http::Connection> QBPassportURLConnectionAndDelegate::connection() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return connection_;
}

std::shared_ptr<QBPassportRequest> QBPassportURLConnectionAndDelegate::request() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return request_.lock();
}

void QBPassportURLConnectionAndDelegate::setRequest(const std::weak_ptr<QBPassportRequest>& request) {
  std::lock_guard<std::mutex> guard(mutex_);
  request_ = request;
}

bool QBPassportURLConnectionAndDelegate::requestRecoredInRequestMemoryManager() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requestRecoredInRequestMemoryManager_;
}

void QBPassportURLConnectionAndDelegate::setRequestRecoredInRequestMemoryManager(bool recorded) {
  std::lock_guard<std::mutex> guard(mutex_);
  requestRecoredInRequestMemoryManager_ = recorded;
}

}  // namespace lumora
