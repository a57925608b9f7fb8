// Judging and decoding the cloud's replies. LMHTTPResponseSerialization checks
// status code and content type; LMJsonResponseSerialization (its own header)
// also decrypts and parses the body.
//
// Ownership: shared values; one serializer may serve many operations.
// Threading: settings are fixed before use; decoding may then run on several
// threads at once. Failures are platform::Error values, never thrown: the
// decoded reply carries its status beside the object, since a reply with a
// server error keeps its dictionary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "cloud/request/LMStringEncoding.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Response.h"

namespace lumora {

// Domain of the status, content-type and decoding errors of replies.
inline constexpr const char* kLMResponseSerializationErrorDomain =
    "com.quenby.error.serialization.response";
// User-info key of the response (as JSON: "url", "statusCode", "headers").
inline constexpr const char* kLMResponseSerializationResponseKey =
    "com.quenby.serialization.response.error.response";
inline constexpr const char* kLMFailingURLKey = "NSErrorFailingURLKey";
inline constexpr const char* kLMLocalizedFailureReasonKey = "NSLocalizedFailureReason";
// Codes of that domain: the URL-loading codes of the same meaning.
inline constexpr std::int64_t kLMResponseErrorBadServerResponse = -1011;
inline constexpr std::int64_t kLMResponseErrorCannotDecodeContentData = -1016;
// A redirect reply the client did not follow (to another origin with the
// request's body, from https to plain http, or one that would drop an
// upload's body): the request reached nothing, and sending it again would
// meet the same redirect ("retriable" false). No URL-loading code has this
// meaning. The user info names where the cloud sent it under
// kLMRedirectURLKey.
inline constexpr std::int64_t kLMResponseErrorRedirectNotFollowed = -1030;
inline constexpr const char* kLMRedirectURLKey = "redirectURL";

// What decoding one reply gave: the object (also when the reply names an
// error, so its fields stay at hand) and the outcome.
struct LMDecodedReply {
  std::optional<platform::Json> object;
  platform::Status status;
};

class LMHTTPResponseSerialization {
 public:
  static std::shared_ptr<LMHTTPResponseSerialization> serializer();
  LMHTTPResponseSerialization();
  virtual ~LMHTTPResponseSerialization() = default;

  LMStringEncoding stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(LMStringEncoding encoding) { stringEncoding_ = encoding; }
  // 200 to 299 by default; nullopt accepts every status.
  const std::optional<std::set<int>>& acceptableStatusCodes() const { return statusCodes_; }
  void setAcceptableStatusCodes(std::optional<std::set<int>> codes) { statusCodes_ = std::move(codes); }
  // Every type by default (nullopt).
  const std::optional<std::set<std::string>>& acceptableContentTypes() const { return contentTypes_; }
  void setAcceptableContentTypes(std::optional<std::set<std::string>> types) {
    contentTypes_ = std::move(types);
  }

  // True when acceptable. A missing response is acceptable. A redirect not
  // followed fails with its own error (redirectNotFollowedError), whatever
  // the body. A content type outside the accepted set fails, with the -1016
  // error only when the body is not empty ("retriable" true), else as false
  // with nothing to report; a status outside the accepted set fails with
  // -1011 ("retriable" false), the content-type error as its underlying
  // error.
  platform::Result<bool> validateResponse(const std::optional<platform::http::Response>& response,
                                          const platform::Bytes& data) const;

  // Validates and returns the body unchanged (a JSON binary value).
  // `securityKey` is the key of the session the request was signed with
  // (nullopt: none); this class does not use it.
  virtual LMDecodedReply responseObjectForResponse(
      const std::optional<platform::http::Response>& response, const platform::Bytes& data,
      const std::optional<std::string>& securityKey) const;

  // The response as the JSON stored under kLMResponseSerializationResponseKey.
  static platform::Json responseInfo(const platform::http::Response& response);
  // The kLMResponseErrorRedirectNotFollowed error when the reply is a
  // redirect (301, 302, 303, 307 or 308 with a "Location"): the transfer
  // follows every redirect it may, so one that reaches the caller was not
  // followed. nullopt for any other reply.
  static std::optional<platform::Error> redirectNotFollowedError(const platform::http::Response& response);
  // Where the cloud sent a request that failed with that error (also as the
  // underlying error of another); nullopt for any other error.
  static std::optional<std::string> redirectURLOfError(const platform::Error& error);

 private:
  LMStringEncoding stringEncoding_ = kLMUTF8StringEncoding;
  std::optional<std::set<int>> statusCodes_;
  std::optional<std::set<std::string>> contentTypes_;
};

}  // namespace lumora
