// One HTTP request to the account service: URL, method, parameters, cookies
// and extra headers; it can encrypt its text parameters with a coder and add
// a "signature" made under a security key, and connect() sends it through
// its connection holder, which reports to the request delegate. The class
// also carries the URL text helpers of the account SDK and the signature
// recipe that signed cloud requests share.
//
// Ownership: made by the factories below, always held by std::shared_ptr.
// The request owns its connection holder (which refers back weakly and
// holds the delegate strongly); the keep-alive registry holds the request
// while its exchange runs, so a caller may drop it right after connect().
// The parameter map is shared with the caller and changed in place by
// cryptWithCoder.
// Threading: a request is built, signed and connected on one thread, once;
// the static helpers are stateless and may run on any thread.
// Failures: none reported here; exchange failures reach the delegate.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "account/KPEnDecryptCoder.h"
#include "account/QBPassportRequestDelegate.h"
#include "platform/Bytes.h"
#include "platform/http/Cookie.h"
#include "platform/http/HeaderFields.h"

namespace lumora {

class QBPassportURLConnectionAndDelegate;

class QBPassportRequest : public std::enable_shared_from_this<QBPassportRequest> {
  struct PrivateTag {};

 public:
  // Parameter values are texts; data (a file or image) may stand in the map
  // too and is left out of a GET query.
  using ParamValue = std::variant<std::string, platform::Bytes>;
  using Params = std::map<std::string, ParamValue>;
  using ParamsPtr = std::shared_ptr<Params>;
  using Cookies = std::vector<platform::http::Cookie>;
  using DelegatePtr = std::shared_ptr<QBPassportRequestDelegate>;
  using HolderPtr = std::shared_ptr<QBPassportURLConnectionAndDelegate>;

  static constexpr double kTimeoutSeconds = 60.0;

  // --- construction (a null parameter map stands for an empty one) ---------

  static std::shared_ptr<QBPassportRequest> requestWithParams(ParamsPtr params, std::string httpMethod,
                                                              Cookies cookies, DelegatePtr delegate,
                                                              std::string requestURL);
  static std::shared_ptr<QBPassportRequest> initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                               Cookies cookies, DelegatePtr delegate,
                                                               std::string requestURL);
  static std::shared_ptr<QBPassportRequest> initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                               Cookies cookies, DelegatePtr delegate,
                                                               std::string requestURL,
                                                               platform::http::HeaderFields httpHeaders);
  // Designated: tells `connectionHolder` that it serves this request.
  static std::shared_ptr<QBPassportRequest> initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                               Cookies cookies, HolderPtr connectionHolder,
                                                               std::string requestURL,
                                                               platform::http::HeaderFields httpHeaders);

  QBPassportRequest(PrivateTag, ParamsPtr params, std::string httpMethod, Cookies cookies,
                    HolderPtr connectionHolder, std::string requestURL, platform::http::HeaderFields httpHeaders);
  QBPassportRequest(const QBPassportRequest&) = delete;
  QBPassportRequest& operator=(const QBPassportRequest&) = delete;

  // --- work -----------------------------------------------------------------

  // With a coder: every text parameter but "signature" is replaced by its
  // encryption when that gives a non-empty text. With a non-empty security
  // key: "signature" is added, computed over the parameters as they are then.
  void cryptWithCoder(std::shared_ptr<KPEnDecryptCoder> coder, const std::optional<std::string>& security);
  // Sends the request (query for GET, form body for POST, User-Agent, Cookie
  // header, 60 s timeout) through the connection holder.
  void connect();
  // "name=value&..." with percent-escaped values.
  platform::Bytes generatePostBody() const;
  void appendUTF8Body(platform::Bytes& body, std::string_view dataString) const;
  // The URL starts with "https" (any case).
  bool isHTTPS() const;

  // --- URL text helpers and the signature recipe ----------------------------

  // The URL with "name=value" pairs joined by "&" added to its query ("?",
  // or "&" when it already has one; in front of any fragment); data values
  // are left out.
  static std::string serializeURL(const std::string& url, const Params& params, const std::string& httpMethod);

  // The request signature: Base64 of the SHA-1 of the upper-case method
  // (when non-empty), the URL's path (when the URL is non-empty; never its
  // query), "name=value" for each parameter in ascending byte order of the
  // names (values as they are, not escaped) and the security key, joined by
  // "&". nullopt (logging "security is not nullable") without a key.
  static std::optional<std::string> generateSignatureWithMethod(std::optional<std::string_view> method,
                                                                std::optional<std::string_view> requestUrl,
                                                                const Params& params,
                                                                std::optional<std::string_view> security);
  // The same over text parameters (the form signed cloud requests hold).
  static std::optional<std::string> generateSignatureWithMethod(
      std::optional<std::string_view> method, std::optional<std::string_view> requestUrl,
      const std::map<std::string, std::string>& params, std::optional<std::string_view> security);

  // Percent-escapes every byte but letters, digits and "-", "_", ".", "~".
  static std::string urlEncode(std::string_view text);
  // Replaces percent escapes; nullopt for a broken escape or a result that
  // is not UTF-8.
  static std::optional<std::string> urlDecode(std::string_view text);
  // The decoded value of the first "name=" in the URL text, provided it
  // starts the text or follows "?", "&" or "#".
  static std::optional<std::string> getParamValueFromUrl(std::string_view url, std::string_view paramName);

  // --- fields ---------------------------------------------------------------

  const HolderPtr& connectionAndDelegate() const { return connectionAndDelegate_; }
  void setConnectionAndDelegate(HolderPtr holder) { connectionAndDelegate_ = std::move(holder); }
  const std::string& url() const { return url_; }
  void setUrl(std::string url) { url_ = std::move(url); }
  const std::string& httpMethod() const { return httpMethod_; }
  void setHttpMethod(std::string method) { httpMethod_ = std::move(method); }
  const Cookies& httpCookies() const { return httpCookies_; }
  void setHttpCookies(Cookies cookies) { httpCookies_ = std::move(cookies); }
  const platform::http::HeaderFields& httpHeaders() const { return httpHeaders_; }
  void setHttpHeaders(platform::http::HeaderFields headers) { httpHeaders_ = std::move(headers); }
  const ParamsPtr& params() const { return params_; }
  void setParams(ParamsPtr params) { params_ = params ? std::move(params) : std::make_shared<Params>(); }
  const std::shared_ptr<KPEnDecryptCoder>& cryptCoder() const { return cryptCoder_; }
  void setCryptCoder(std::shared_ptr<KPEnDecryptCoder> coder) { cryptCoder_ = std::move(coder); }

 private:
  HolderPtr connectionAndDelegate_;
  std::string url_;
  std::string httpMethod_;
  Cookies httpCookies_;
  platform::http::HeaderFields httpHeaders_;
  ParamsPtr params_;
  std::shared_ptr<KPEnDecryptCoder> cryptCoder_;
};

}  // namespace lumora
