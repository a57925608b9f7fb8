#include "cloud/request/LMHTTPResponseSerialization.h"

#include <utility>

#include "platform/http/Url.h"
#include "utils/LMErrors.h"

namespace lumora {

std::shared_ptr<LMHTTPResponseSerialization> LMHTTPResponseSerialization::serializer() {
  return std::make_shared<LMHTTPResponseSerialization>();
}

LMHTTPResponseSerialization::LMHTTPResponseSerialization() {
  std::set<int> codes;
  for (int code = 200; code <= 299; ++code) codes.insert(code);
  statusCodes_ = std::move(codes);
}

platform::Json LMHTTPResponseSerialization::responseInfo(const platform::http::Response& response) {
  platform::Json headers = platform::Json::object();
  for (const auto& [name, value] : response.allHeaderFields().combined()) headers[name] = value;
  return {{"url", response.url()}, {"statusCode", response.statusCode()}, {"headers", headers}};
}

std::optional<platform::Error> LMHTTPResponseSerialization::redirectNotFollowedError(
    const platform::http::Response& response) {
  const int status = response.statusCode();
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return std::nullopt;
  auto location = response.valueForHeaderField("Location");
  if (!location || location->empty()) return std::nullopt;
  const std::string target = platform::http::Url::resolve(response.url(), *location).value_or(*location);
  return platform::Error(
      kLMResponseSerializationErrorDomain, kLMResponseErrorRedirectNotFollowed,
      {{platform::Error::kLocalizedDescriptionKey,
        "Request failed: the cloud sent it elsewhere (" + std::to_string(status) + " to " + target + ")"},
       {kLMFailingURLKey, response.url()},
       {kLMRedirectURLKey, target},
       {kLMResponseSerializationResponseKey, responseInfo(response)},
       {kLMRetriableKey, false}});
}

std::optional<std::string> LMHTTPResponseSerialization::redirectURLOfError(const platform::Error& error) {
  for (std::optional<platform::Error> current = error; current; current = current->underlying()) {
    if (current->domain() != kLMResponseSerializationErrorDomain ||
        current->code() != kLMResponseErrorRedirectNotFollowed || !current->userInfo().is_object()) {
      continue;
    }
    auto target = current->userInfo().find(kLMRedirectURLKey);
    if (target != current->userInfo().end() && target->is_string()) return target->get<std::string>();
  }
  return std::nullopt;
}

platform::Result<bool> LMHTTPResponseSerialization::validateResponse(
    const std::optional<platform::http::Response>& response, const platform::Bytes& data) const {
  if (!response) return true;
  if (auto redirected = redirectNotFollowedError(*response)) return *redirected;
  bool acceptable = true;
  std::optional<platform::Error> validationError;

  auto mimeType = response->mimeType();
  if (contentTypes_ && (!mimeType || contentTypes_->count(*mimeType) == 0)) {
    if (!data.empty()) {
      validationError = platform::Error(
          kLMResponseSerializationErrorDomain, kLMResponseErrorCannotDecodeContentData,
          {{platform::Error::kLocalizedDescriptionKey,
            "Request failed: unacceptable content-type: " + mimeType.value_or("(null)")},
           {kLMFailingURLKey, response->url()},
           {kLMResponseSerializationResponseKey, responseInfo(*response)},
           {kLMRetriableKey, true}});
    }
    acceptable = false;
  }

  if (statusCodes_ && statusCodes_->count(response->statusCode()) == 0) {
    platform::Error statusError(
        kLMResponseSerializationErrorDomain, kLMResponseErrorBadServerResponse,
        {{platform::Error::kLocalizedDescriptionKey,
          "Request failed: " +
              platform::http::Response::localizedStringForStatusCode(response->statusCode()) +
              " (" + std::to_string(response->statusCode()) + ")"},
         {kLMFailingURLKey, response->url()},
         {kLMResponseSerializationResponseKey, responseInfo(*response)},
         {kLMRetriableKey, false}});
    if (validationError) statusError = statusError.withUnderlying(*validationError);
    validationError = std::move(statusError);
    acceptable = false;
  }

  if (validationError) return *validationError;
  return acceptable;
}

LMDecodedReply LMHTTPResponseSerialization::responseObjectForResponse(
    const std::optional<platform::http::Response>& response, const platform::Bytes& data,
    const std::optional<std::string>& /*securityKey*/) const {
  auto validated = validateResponse(response, data);
  LMDecodedReply reply{platform::Json::binary(data), {}};
  if (!validated) reply.status = validated.error();
  return reply;
}

}  // namespace lumora
