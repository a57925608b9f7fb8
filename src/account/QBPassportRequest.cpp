#include "account/QBPassportRequest.h"

#include <utility>

#include "account/KPQBEnDecryptUtil.h"
#include "account/KPUserAgentUtil.h"
#include "account/QBPassportURLConnectionAndDelegate.h"
#include "utils/LMLogUtil.h"
#include "platform/Bytes.h"
#include "platform/http/Request.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

// How the platform prints data: "<0a0b0c0d 0e0f>".
std::string dataDescription(const platform::Bytes& data) {
  const std::string hex = platform::hexString(data);
  std::string out = "<";
  for (std::size_t i = 0; i < hex.size(); i += 8) {
    if (i > 0) out += ' ';
    out += hex.substr(i, 8);
  }
  return out + ">";
}

std::string textForm(const QBPassportRequest::ParamValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return dataDescription(std::get<platform::Bytes>(value));
}

// The path of a URL as the platform's URL object reports it: percent escapes
// replaced and a trailing "/" dropped (the root stays "/"). Text that is no
// absolute URL is read as a relative reference.
std::string urlPath(std::string_view url) {
  // Requests sign the same URL over and over: the one this thread read last
  // is not read again.
  thread_local std::string lastUrl;
  thread_local std::string lastPath;
  if (!lastUrl.empty() && url == lastUrl) return lastPath;
  std::string raw;
  if (auto parsed = platform::http::Url::parse(url)) {
    raw = parsed->path();
  } else {
    raw = std::string(url.substr(0, url.find_first_of("?#")));
  }
  std::string path = QBPassportRequest::urlDecode(raw).value_or(raw);
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  lastUrl = url;
  lastPath = path;
  return path;
}

// `Pairs`: (name, value) texts in ascending byte order of the names.
template <class Pairs>
std::optional<std::string> signatureOver(std::optional<std::string_view> method,
                                         std::optional<std::string_view> requestUrl, const Pairs& pairs,
                                         std::optional<std::string_view> security) {
  if (!security || security->empty()) {
    LM_LOG_ERROR("security is not nullable");
    return std::nullopt;
  }
  // The parts joined by "&": method, path, each "name=value", the key.
  std::string joined;
  bool first = true;
  auto separate = [&] {
    if (!first) joined += '&';
    first = false;
  };
  if (method && !method->empty()) {
    separate();
    joined += platform::upperCased(*method);
  }
  if (requestUrl && !requestUrl->empty()) {
    separate();
    joined += urlPath(*requestUrl);
  }
  // `pairs` come from ordered maps: ascending byte order of the names.
  for (const auto& [name, value] : pairs) {
    separate();
    joined.append(name).append("=").append(value);
  }
  separate();
  joined += *security;
  return KPQBEnDecryptUtil::buildSHA1AndBase64(joined);
}

}  // namespace

// --- construction -------------------------------------------------------------

QBPassportRequest::QBPassportRequest(PrivateTag, ParamsPtr params, std::string httpMethod, Cookies cookies,
                                     HolderPtr connectionHolder, std::string requestURL,
                                     platform::http::HeaderFields httpHeaders)
    : connectionAndDelegate_(std::move(connectionHolder)),
      url_(std::move(requestURL)),
      httpMethod_(std::move(httpMethod)),
      httpCookies_(std::move(cookies)),
      httpHeaders_(std::move(httpHeaders)),
      params_(params ? std::move(params) : std::make_shared<Params>()) {}

std::shared_ptr<QBPassportRequest> QBPassportRequest::requestWithParams(ParamsPtr params, std::string httpMethod,
                                                                        Cookies cookies, DelegatePtr delegate,
                                                                        std::string requestURL) {
  return initWithWithParams(std::move(params), std::move(httpMethod), std::move(cookies), std::move(delegate),
                            std::move(requestURL));
}

std::shared_ptr<QBPassportRequest> QBPassportRequest::initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                                         Cookies cookies, DelegatePtr delegate,
                                                                         std::string requestURL) {
  return initWithWithParams(std::move(params), std::move(httpMethod), std::move(cookies), std::move(delegate),
                            std::move(requestURL), platform::http::HeaderFields());
}

std::shared_ptr<QBPassportRequest> QBPassportRequest::initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                                         Cookies cookies, DelegatePtr delegate,
                                                                         std::string requestURL,
                                                                         platform::http::HeaderFields httpHeaders) {
  return initWithWithParams(std::move(params), std::move(httpMethod), std::move(cookies),
                            QBPassportURLConnectionAndDelegate::initWithDelegate(std::move(delegate)),
                            std::move(requestURL), std::move(httpHeaders));
}

std::shared_ptr<QBPassportRequest> QBPassportRequest::initWithWithParams(ParamsPtr params, std::string httpMethod,
                                                                         Cookies cookies, HolderPtr connectionHolder,
                                                                         std::string requestURL,
                                                                         platform::http::HeaderFields httpHeaders) {
  auto request = std::make_shared<QBPassportRequest>(PrivateTag{}, std::move(params), std::move(httpMethod),
                                                     std::move(cookies), std::move(connectionHolder),
                                                     std::move(requestURL), std::move(httpHeaders));
  if (request->connectionAndDelegate_) request->connectionAndDelegate_->setRequest(request);
  return request;
}

// --- work -----------------------------------------------------------------------

void QBPassportRequest::cryptWithCoder(std::shared_ptr<KPEnDecryptCoder> coder,
                                       const std::optional<std::string>& security) {
  if (coder) {
    cryptCoder_ = coder;
    std::vector<std::string> names;
    for (const auto& entry : *params_) names.push_back(entry.first);
    for (const auto& name : names) {
      if (name == "signature") continue;
      auto it = params_->find(name);
      if (it == params_->end()) continue;
      const auto* text = std::get_if<std::string>(&it->second);
      if (!text) continue;
      auto encrypted = coder->encryptString(*text);
      if (encrypted && !encrypted->empty()) it->second = std::move(*encrypted);
    }
  }
  if (security && !security->empty()) {
    auto signature = generateSignatureWithMethod(httpMethod_, url_, *params_, *security);
    if (signature && !signature->empty()) (*params_)["signature"] = std::move(*signature);
  }
}

void QBPassportRequest::connect() {
  auto self = shared_from_this();
  const auto& holder = connectionAndDelegate_;
  if (holder && holder->delegate() && holder->delegate()->requestLoading) holder->delegate()->requestLoading(self);

  platform::http::Request request;
  request.url = httpMethod_ == "GET" ? serializeURL(url_, *params_, httpMethod_) : url_;
  request.method = httpMethod_;
  request.timeoutSeconds = kTimeoutSeconds;
  for (const auto& [name, value] : httpHeaders_.entries()) request.headers.add(name, value);
  if (!httpHeaders_.contains("User-Agent"))
    request.headers.add("User-Agent", KPUserAgentUtil::sharedInstance().getUserAgent());
  if (!httpCookies_.empty()) request.headers.add("Cookie", platform::http::cookieHeaderValue(httpCookies_));
  if (httpMethod_ == "POST") request.body = generatePostBody();
  if (holder) holder->connect(request);
}

platform::Bytes QBPassportRequest::generatePostBody() const {
  platform::Bytes body;
  bool first = true;
  for (const auto& [name, value] : *params_) {
    std::string encoded;
    if (const auto* text = std::get_if<std::string>(&value)) {
      encoded = urlEncode(*text);
    } else {
      const auto& data = std::get<platform::Bytes>(value);
      encoded = urlEncode(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    appendUTF8Body(body, (first ? "" : "&") + name + "=" + encoded);
    first = false;
  }
  return body;
}

void QBPassportRequest::appendUTF8Body(platform::Bytes& body, std::string_view dataString) const {
  body.insert(body.end(), dataString.begin(), dataString.end());
}

bool QBPassportRequest::isHTTPS() const {
  return url_.size() >= 5 && platform::equalsIgnoringCase(std::string_view(url_).substr(0, 5), "https");
}

// --- URL text helpers -------------------------------------------------------------

std::string QBPassportRequest::serializeURL(const std::string& url, const Params& params,
                                            const std::string& httpMethod) {
  std::string query;
  for (const auto& [name, value] : params) {
    const auto* text = std::get_if<std::string>(&value);
    if (!text) {
      if (httpMethod == "GET") LM_LOG_WARN("can not use GET to upload a file");
      continue;
    }
    if (!query.empty()) query += '&';
    query += name + "=" + urlEncode(*text);
  }
  return platform::http::urlByAppendingQuery(url, query);
}

std::optional<std::string> QBPassportRequest::generateSignatureWithMethod(
    std::optional<std::string_view> method, std::optional<std::string_view> requestUrl, const Params& params,
    std::optional<std::string_view> security) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& [name, value] : params) pairs.emplace_back(name, textForm(value));
  return signatureOver(method, requestUrl, pairs, security);
}

std::optional<std::string> QBPassportRequest::generateSignatureWithMethod(
    std::optional<std::string_view> method, std::optional<std::string_view> requestUrl,
    const std::map<std::string, std::string>& params, std::optional<std::string_view> security) {
  return signatureOver(method, requestUrl, params, security);
}

std::string QBPassportRequest::urlEncode(std::string_view text) { return platform::http::percentEncoded(text); }

std::optional<std::string> QBPassportRequest::urlDecode(std::string_view text) {
  auto out = platform::http::percentDecoded(text);
  if (!out || !platform::isValidUtf8(*out)) return std::nullopt;
  return out;
}

std::optional<std::string> QBPassportRequest::getParamValueFromUrl(std::string_view url,
                                                                   std::string_view paramName) {
  std::string key(paramName);
  if (key.empty() || key.back() != '=') key += '=';
  auto at = url.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  if (at > 0) {
    char before = url[at - 1];
    if (before != '?' && before != '&' && before != '#') return std::nullopt;
  }
  std::string_view rest = url.substr(at + key.size());
  return urlDecode(rest.substr(0, rest.find('&')));
}

}  // namespace lumora
