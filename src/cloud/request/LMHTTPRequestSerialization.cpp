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
#include "platform/device/Bundle.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "platform/storage/UserDefaults.h"
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
  // The defaults are only ever set whole (one entry per name).
  for (const auto& [name, value] : headers_.entries()) {
    if (!request.headers.contains(name)) request.headers.add(name, value);
  }
}

std::string LMHTTPRequestSerialization::signedQueryText(
    const platform::http::Request& request, const platform::Json& parameters,
    const std::string& securityKey) const {
  // One pass over the parameters: each one's signed text by name (ascending,
  // the order they are signed and sent in). A parameter whose name begins
  // with "_" goes as it is (and may make several query pairs); the others
  // go encrypted.
  LMAESCoder coder(securityKey);
  std::map<std::string, std::string> texts;
  std::map<std::string_view, const platform::Json*> plain;
  if (parameters.is_object()) {
    for (auto it = parameters.begin(); it != parameters.end(); ++it) {
      const std::string& key = it.key();
      const auto& value = it.value();
      if (!key.empty() && key.front() == '_') {
        texts[key] = LMQueryStringValueText(value);
        plain[key] = &value;
        continue;
      }
      // Values to encrypt are texts; numbers and booleans go as their text.
      if (!value.is_string() && !value.is_number() && !value.is_boolean()) {
        LM_LOG_WARN("Parameter {} is not a text and is left out of the request", key);
        continue;
      }
      auto encrypted = value.is_string() ? coder.encryptString(value.get_ref<const std::string&>())
                                         : coder.encryptString(LMQueryStringValueText(value));
      if (encrypted && !encrypted->empty()) texts[key] = std::move(*encrypted);
    }
  }

  auto signature = QBPassportRequest::generateSignatureWithMethod(platform::upperCased(request.method),
                                                                  request.url, texts, securityKey);
  if (signature && !signature->empty()) texts["signature"] = std::move(*signature);

  std::string query;
  bool first = true;
  auto append = [&](const std::string& pair) {
    if (!first) query.push_back('&');
    first = false;
    query += pair;
  };
  for (const auto& [key, text] : texts) {
    if (auto value = plain.find(key); value != plain.end()) {
      for (const auto& pair : LMQueryStringPairsFromKeyAndValue(key, *value->second)) {
        append(pair.URLEncodedStringValueWithEncoding(stringEncoding_));
      }
    } else {
      append(LMPercentEscapedQueryStringKeyFromStringWithEncoding(key, stringEncoding_) + "=" +
             LMPercentEscapedQueryStringValueFromStringWithEncoding(text, stringEncoding_));
    }
  }
  return query;
}

platform::http::Request LMHTTPRequestSerialization::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const LMSignedSession& session) const {
  return signedRequest(newRequest(method, URLString), parameters, session);
}

platform::http::Request LMHTTPRequestSerialization::requestBySerializingRequest(
    const platform::http::Request& original, const std::optional<platform::Json>& parameters,
    const LMSignedSession& session) const {
  return signedRequest(original, parameters, session);
}

platform::http::Request LMHTTPRequestSerialization::signedRequest(
    platform::http::Request request, const std::optional<platform::Json>& parameters,
    const LMSignedSession& session) const {
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
