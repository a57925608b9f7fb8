// Builds the HTTP requests the cloud accepts: default headers (languages and
// user agent), the session cookie "userId=...; serviceToken=...", every
// parameter AES-encrypted under the session's security key except those whose
// name begins with "_", a "signature" over method, path, parameters and key,
// and the parameters in the query (GET, HEAD, DELETE) or a form body. Also a
// signed multipart request and an unsigned raw-data POST.
//
// Requests are signed with the session given (the request manager takes it
// from its session source, so a request without a signed-in session is never
// built).
//
// Ownership: a plain value object; each LMHTTPRequestOperationManager owns
// one. Threading: settings are changed while the owner is set up; requests
// are then built from one thread at a time. Failures: building never fails;
// a multipart file part that cannot be read while it is sent fails the send.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/request/LMSignedSession.h"
#include "cloud/request/LMStreamingMultipartFormData.h"
#include "cloud/request/LMStringEncoding.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/HeaderFields.h"
#include "platform/http/Request.h"

namespace lumora {

class LMHTTPRequestSerialization {
 public:
  using BodyBlock = std::function<void(LMStreamingMultipartFormData&)>;

  // A serializer with the default settings and headers.
  static std::shared_ptr<LMHTTPRequestSerialization> serializer();
  LMHTTPRequestSerialization();

  // ---- Settings copied to every request ----
  LMStringEncoding stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(LMStringEncoding encoding) { stringEncoding_ = encoding; }
  bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
  void setHTTPShouldHandleCookies(bool on) { shouldHandleCookies_ = on; }
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  // Methods whose parameters go into the query: "GET", "HEAD", "DELETE".
  const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const { return uriMethods_; }
  void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods);
  // Whether `method` (any case) puts its parameters into the query.
  bool encodesParametersInURI(const std::string& method) const;

  // ---- Default headers ----
  platform::http::HeaderFields HTTPRequestHeaders() const { return headers_; }
  // Sets one default header; nullopt removes it.
  void setValue(const std::optional<std::string>& value, const std::string& field);
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

  // ---- Requests ----

  // A new request for the method and URL with the settings above, then
  // requestBySerializingRequest.
  platform::http::Request requestWithMethod(const std::string& method, const std::string& URLString,
                                            const std::optional<platform::Json>& parameters,
                                            const LMSignedSession& session) const;

  // The signed request: default headers the request lacks, the session's
  // cookie, and (with parameters) encryption under its key, signature and
  // placement. Without parameters nothing but headers and cookie is added.
  platform::http::Request requestBySerializingRequest(const platform::http::Request& request,
                                                      const std::optional<platform::Json>& parameters,
                                                      const LMSignedSession& session) const;

  // A signed multipart request: the signed parameters always in the query,
  // the parts from `block` (UTF-8 headers) streamed as the body.
  platform::http::Request multipartFormRequestWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const LMSignedSession& session,
      const BodyBlock& block) const;

  // An unsigned POST of raw bytes ("application/octet-stream"), parameters
  // unencrypted in the query, no cookie.
  platform::http::Request postDataRequestWithData(const platform::Bytes& data,
                                                  const std::string& URLString,
                                                  const std::optional<platform::Json>& parameters) const;

  // ---- Default header values ----

  // "lang;q=w" entries for the preferred languages, weights 1.0 down by
  // 0.1, ending with the entry of weight 0.5 (at most six), joined by ", ".
  static std::string acceptLanguageForLanguages(const std::vector<std::string>& languages);
  // The same for the user's preferred languages ("AppleLanguages").
  static std::string defaultAcceptLanguage();
  // "name/version;machine;kernel;iOS version;language;" from the bundle and
  // device facts, transliterated to ASCII when it is not.
  static std::string defaultUserAgent();
  // `text` when it is ASCII, else its ASCII transliteration; `text` again
  // when the transliteration cannot be made.
  static std::string asciiUserAgent(const std::string& text);

 private:
  platform::http::Request newRequest(const std::string& method, const std::string& URLString) const;
  void addDefaultHeaders(platform::http::Request& request) const;
  // requestBySerializingRequest on a request of its own.
  platform::http::Request signedRequest(platform::http::Request request,
                                        const std::optional<platform::Json>& parameters,
                                        const LMSignedSession& session) const;
  // Encrypts and signs the parameters; their query text.
  std::string signedQueryText(const platform::http::Request& request,
                                                const platform::Json& parameters,
                                                const std::string& securityKey) const;

  LMStringEncoding stringEncoding_ = kLMUTF8StringEncoding;
  bool shouldHandleCookies_ = true;
  double timeoutInterval_ = 30.0;
  std::set<std::string> uriMethods_{"GET", "HEAD", "DELETE"};
  platform::http::HeaderFields headers_;
};

}  // namespace lumora
