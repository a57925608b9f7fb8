#include "cloud/request/LMJsonResponseSerialization.h"

#include <utility>

#include "cloud/request/LMSignedSession.h"
#include "platform/JsonParse.h"
#include "platform/NumberValues.h"
#include "utils/LMAESCoder.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

bool chainHasDecodingError(const std::optional<platform::Error>& error) {
  std::optional<platform::Error> current = error;
  while (current) {
    if (current->domain() == kLMResponseSerializationErrorDomain &&
        current->code() == kLMResponseErrorCannotDecodeContentData) {
      return true;
    }
    current = current->underlying();
  }
  return false;
}

platform::Json withoutNulls(const platform::Json& value) {
  if (value.is_array()) {
    platform::Json out = platform::Json::array();
    for (const auto& element : value) out.push_back(withoutNulls(element));
    return out;
  }
  if (value.is_object()) {
    platform::Json out = platform::Json::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!it.value().is_null()) out[it.key()] = withoutNulls(it.value());
    }
    return out;
  }
  return value;
}

// The reply had an acceptable status but nothing readable in its body.
platform::Error undecryptableReplyError(const std::optional<platform::http::Response>& response) {
  platform::Json info{{platform::Error::kLocalizedDescriptionKey,
                       "Request failed: the reply could not be decrypted"},
                      {kLMRetriableKey, true}};
  if (response) {
    info[kLMFailingURLKey] = response->url();
    info[kLMResponseSerializationResponseKey] = LMHTTPResponseSerialization::responseInfo(*response);
  }
  return platform::Error(kLMResponseSerializationErrorDomain, kLMResponseErrorCannotDecodeContentData,
                         std::move(info));
}

}  // namespace

std::shared_ptr<LMJsonResponseSerialization> LMJsonResponseSerialization::serializer() {
  return std::make_shared<LMJsonResponseSerialization>();
}

LMJsonResponseSerialization::LMJsonResponseSerialization() {
  setAcceptableContentTypes(std::set<std::string>{"application/json", "text/json", "text/javascript"});
}

LMDecodedReply LMJsonResponseSerialization::responseObjectForResponse(
    const std::optional<platform::http::Response>& response, const platform::Bytes& data,
    const std::optional<std::string>& securityKey) const {
  // A redirect not followed brought nothing of the cloud's to read.
  if (response) {
    if (auto redirected = redirectNotFollowedError(*response)) return {std::nullopt, *redirected};
  }
  auto validated = validateResponse(response, data);
  std::optional<platform::Error> validationError;
  if (!validated) validationError = validated.error();
  if (chainHasDecodingError(validationError)) return {std::nullopt, *validationError};

  // Whether the server answered with a success status: then a body that
  // cannot be read is an error of its own.
  bool statusOK = !response || !acceptableStatusCodes() ||
                  acceptableStatusCodes()->count(response->statusCode()) > 0;

  LMStringEncoding encoding = stringEncoding();
  if (response) {
    if (auto name = response->textEncodingName()) {
      if (auto declared = LMStringEncodingFromIANAName(*name)) encoding = *declared;
    }
  }

  std::optional<platform::Json> object;
  std::optional<platform::Error> decodeError;
  std::optional<std::string> text = LMDecodeText(data, encoding);
  std::optional<std::string> decrypted;
  bool decryptable = text.has_value() && securityKey.has_value() && !securityKey->empty();
  if (decryptable) decrypted = LMAESCoder(*securityKey).decryptString(*text);

  if (statusOK && (!securityKey || securityKey->empty())) {
    decodeError = LMNotLoggedInError();
  } else if (!decryptable) {
    // Nothing to read; a refused status keeps its own error.
    if (statusOK) decodeError = undecryptableReplyError(response);
  } else if (!decrypted) {
    decodeError = platform::Error(kLMResponseSerializationErrorDomain,
                                  kLMResponseErrorCannotDecodeContentData,
                                  {{platform::Error::kLocalizedDescriptionKey,
                                    "Data failed decoding as a UTF-8 string"},
                                   {kLMLocalizedFailureReasonKey, "Could not decode string: " + *text},
                                   {kLMRetriableKey, true}});
  } else if (*decrypted == " ") {
    // The server's empty reply: no object and no error.
  } else if (decrypted->empty()) {
    if (statusOK) decodeError = undecryptableReplyError(response);
  } else {
    // A reply nested past the bound is refused as malformed before anything
    // copies it.
    platform::Json parsed = platform::parseJson(*decrypted);
    bool fragmentsAllowed = (readingOptions_ & kLMJSONReadingAllowFragments) != 0;
    if (parsed.is_discarded() || (!fragmentsAllowed && !parsed.is_object() && !parsed.is_array())) {
      decodeError = platform::Error(kLMJSONErrorDomain, kLMJSONErrorCode,
                                    {{platform::Error::kLocalizedDescriptionKey,
                                      "The data couldn't be read because it isn't in the correct "
                                      "format."}});
    } else {
      object = removesNulls_ ? withoutNulls(parsed) : std::move(parsed);
    }
  }

  if (!decodeError) {
    if (auto checked = validateLMJSONObject(object); !checked) decodeError = checked.error();
  }

  LMDecodedReply reply{std::move(object), {}};
  if (decodeError) {
    if (validationError && !decodeError->underlying()) {
      decodeError = decodeError->withUnderlying(*validationError);
    }
    reply.status = *decodeError;
  } else if (validationError) {
    reply.status = *validationError;
  }
  return reply;
}

platform::Status LMJsonResponseSerialization::validateLMJSONObject(const std::optional<platform::Json>& object) {
  if (!object || !object->is_object()) return platform::Status::success();
  auto code = object->find("code");
  if (code == object->end() || !code->is_number()) return platform::Status::success();
  bool zero = code->is_number_float() ? code->get<double>() == 0.0 : code->get<std::uint64_t>() == 0;
  if (zero) return platform::Status::success();
  // A code beyond 64 bits is held to their range (a fraction is cut).
  return platform::Error(kLMServerErrorDomain, *platform::numberValue<std::int64_t>(*code), *object);
}

}  // namespace lumora
