#include "cloud/request/LMHTTPRequestSerialization.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <utility>

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include "account/Hardware.h"
#include "account/QBPassportRequest.h"
#include "cloud/request/LMQueryStringPair.h"
#include "utils/LMAESCoder.h"
#include "utils/LMLogUtil.h"
#include "platform/Bundle.h"
#include "platform/Bytes.h"
#include "platform/Device.h"
#include "platform/UserDefaults.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

bool isASCII(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  auto array = platform::UserDefaults::standard().arrayForKey(platform::UserDefaults::kAppleLanguagesKey);
  if (array) {
    for (const auto& entry : *array) {
      if (entry.is_string()) languages.push_back(entry.get<std::string>());
    }
  }
  return languages;
}

std::string orNull(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

}  // namespace

std::shared_ptr<LMHTTPRequestSerialization> LMHTTPRequestSerialization::serializer() {
  return std::make_shared<LMHTTPRequestSerialization>();
}

LMHTTPRequestSerialization::LMHTTPRequestSerialization() {
  headers_.set("Accept-Language", defaultAcceptLanguage());
  headers_.set("User-Agent", defaultUserAgent());
}

void LMHTTPRequestSerialization::setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
  uriMethods_.clear();
  for (const auto& method : methods) uriMethods_.insert(platform::upperCased(method));
}

bool LMHTTPRequestSerialization::encodesParametersInURI(const std::string& method) const {
  return uriMethods_.count(platform::upperCased(method)) > 0;
}

void LMHTTPRequestSerialization::setValue(const std::optional<std::string>& value,
                                          const std::string& field) {
  if (value) {
    headers_.set(field, *value);
  } else {
    headers_.remove(field);
  }
}

std::optional<std::string> LMHTTPRequestSerialization::valueForHTTPHeaderField(
    const std::string& field) const {
  return headers_.value(field);
}

// ---- Default header values ----

std::string LMHTTPRequestSerialization::acceptLanguageForLanguages(
    const std::vector<std::string>& languages) {
  std::string out;
  for (std::size_t i = 0; i < languages.size(); ++i) {
    float q = 1.0f - 0.1f * static_cast<float>(i);
    char weight[32];
    std::snprintf(weight, sizeof weight, "%0.1g", static_cast<double>(q));
    if (!out.empty()) out += ", ";
    out += languages[i] + ";q=" + weight;
    if (q <= 0.5f) break;
  }
  return out;
}

std::string LMHTTPRequestSerialization::defaultAcceptLanguage() {
  return acceptLanguageForLanguages(preferredLanguages());
}

std::string LMHTTPRequestSerialization::defaultUserAgent() {
  auto name = platform::Bundle::infoString("CFBundleDisplayName");
  if (!name) name = platform::Bundle::infoString("CFBundleExecutable");
  auto version = platform::Bundle::infoString("CFBundleVersion");
  auto languages = preferredLanguages();
  std::string text = orNull(name) + "/" + orNull(version) + ";" + orNull(machine()) + ";" + ROM() +
                     ";iOS " + platform::Device::systemVersion() + ";" +
                     (languages.empty() ? std::string("(null)") : languages.front()) + ";";
  return asciiUserAgent(text);
}

std::string LMHTTPRequestSerialization::asciiUserAgent(const std::string& text) {
  if (isASCII(text)) return text;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Transliterator> transliterator(icu::Transliterator::createInstance(
      icu::UnicodeString::fromUTF8("Any-Latin; Latin-ASCII; [:^ASCII:] Remove"), UTRANS_FORWARD,
      status));
  if (U_FAILURE(status) || !transliterator) return text;
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  transliterator->transliterate(unicode);
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

// ---- Requests ----

platform::http::Request LMHTTPRequestSerialization::newRequest(const std::string& method,
                                                               const std::string& URLString) const {
  platform::http::Request request;
  request.method = method;
  request.url = URLString;
  request.timeoutSeconds = timeoutInterval_;
  request.shouldHandleCookies = shouldHandleCookies_;
  return request;
}

void LMHTTPRequestSerialization::addDefaultHeaders(platform::http::Request& request) const {
  for (const auto& [name, value] : headers_.combined()) {
    if (!request.headers.contains(name)) request.headers.set(name, value);
  }
}

std::string LMHTTPRequestSerialization::signedQueryText(
    const platform::http::Request& request, const platform::Json& parameters,
    const std::string& securityKey) const {
  LMAESCoder coder(securityKey);
  platform::Json merged = platform::Json::object();
  platform::Json plain = platform::Json::object();
  if (parameters.is_object()) {
    for (auto it = parameters.begin(); it != parameters.end(); ++it) {
      if (!it.key().empty() && it.key().front() == '_') {
        plain[it.key()] = it.value();
        continue;
      }
      // Values to encrypt are texts; numbers and booleans go as their text.
      const auto& value = it.value();
      if (!value.is_string() && !value.is_number() && !value.is_boolean()) {
        LM_LOG_WARN("Parameter {} is not a text and is left out of the request", it.key());
        continue;
      }
      auto encrypted = coder.encryptString(LMQueryStringValueText(value));
      if (encrypted && !encrypted->empty()) merged[it.key()] = *encrypted;
    }
  }
  for (auto it = plain.begin(); it != plain.end(); ++it) merged[it.key()] = it.value();

  std::map<std::string, std::string> signed_;
  for (auto it = merged.begin(); it != merged.end(); ++it) {
    signed_[it.key()] = LMQueryStringValueText(it.value());
  }
  auto signature = QBPassportRequest::generateSignatureWithMethod(platform::upperCased(request.method),
                                                                  request.url, signed_, securityKey);
  if (signature && !signature->empty()) merged["signature"] = *signature;
  return LMQueryStringFromParametersWithEncoding(merged, stringEncoding_);
}

platform::http::Request LMHTTPRequestSerialization::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const LMSignedSession& session) const {
  return requestBySerializingRequest(newRequest(method, URLString), parameters, session);
}

platform::http::Request LMHTTPRequestSerialization::requestBySerializingRequest(
    const platform::http::Request& original, const std::optional<platform::Json>& parameters,
    const LMSignedSession& session) const {
  platform::http::Request request = original;
  addDefaultHeaders(request);
  request.headers.set("Cookie", session.cookie());
  if (!parameters || parameters->is_null()) return request;

  std::string query = signedQueryText(request, *parameters, session.sSecurity);
  if (encodesParametersInURI(request.method)) {
    request.url = platform::http::urlByAppendingQuery(request.url, query);
  } else {
    if (!request.headers.contains("Content-Type")) {
      auto charset = LMIANACharsetName(stringEncoding_).value_or("utf-8");
      request.headers.set("Content-Type", "application/x-www-form-urlencoded; charset=" + charset);
    }
    auto body = LMEncodeText(query, stringEncoding_);
    request.body = body ? std::move(*body) : platform::toBytes(query);
  }
  return request;
}

platform::http::Request LMHTTPRequestSerialization::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const LMSignedSession& session,
    const BodyBlock& block) const {
  platform::http::Request request = newRequest(method, URLString);
  addDefaultHeaders(request);
  request.headers.set("Cookie", session.cookie());
  if (parameters && !parameters->is_null()) {
    request.url = platform::http::urlByAppendingQuery(
        request.url, signedQueryText(request, *parameters, session.sSecurity));
  }

  LMStreamingMultipartFormData formData(std::move(request), kLMUTF8StringEncoding);
  if (block) block(formData);
  return formData.requestByFinalizingMultipartFormData();
}

platform::http::Request LMHTTPRequestSerialization::postDataRequestWithData(
    const platform::Bytes& data, const std::string& URLString,
    const std::optional<platform::Json>& parameters) const {
  platform::http::Request request = newRequest("POST", URLString);
  addDefaultHeaders(request);
  if (parameters && !parameters->is_null()) {
    std::string query = LMQueryStringFromParametersWithEncoding(*parameters, stringEncoding_);
    if (!query.empty()) request.url = platform::http::urlByAppendingQuery(request.url, query);
  }
  request.headers.set("Content-Type", "application/octet-stream");
  if (!data.empty()) request.body = data;
  return request;
}

}  // namespace lumora
