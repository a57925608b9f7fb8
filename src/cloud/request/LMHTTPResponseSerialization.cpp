#include "cloud/request/LMHTTPResponseSerialization.h"

#include <utility>

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

platform::Result<bool> LMHTTPResponseSerialization::validateResponse(
    const std::optional<platform::http::Response>& response, const platform::Bytes& data) const {
  if (!response) return true;
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
