#include "cloud/request/LMQueryStringPair.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/http/Url.h"

namespace lumora {
namespace {

// `text` in `encoding` (its UTF-8 bytes when the encoding cannot hold it),
// percent-escaped except for the bytes of `keep`.
std::string percentEscape(std::string_view text, LMStringEncoding encoding, std::string_view keep) {
  // UTF-8 text is its own bytes, and text that is no UTF-8 goes as its bytes.
  if (encoding == kLMUTF8StringEncoding) return platform::http::percentEncoded(text, keep);
  auto encoded = LMEncodeText(text, encoding);
  if (!encoded) return platform::http::percentEncoded(text, keep);
  return platform::http::percentEncoded(platform::toString(*encoded), keep);
}

void appendPairs(const std::string& key, bool hasKey, const platform::Json& value,
                 std::vector<LMQueryStringPair>& out) {
  if (value.is_object()) {
    std::vector<std::string> keys;
    keys.reserve(value.size());
    for (auto it = value.begin(); it != value.end(); ++it) keys.push_back(it.key());
    std::sort(keys.begin(), keys.end());
    for (const auto& inner : keys) {
      appendPairs(hasKey ? key + "[" + inner + "]" : inner, true, value.at(inner), out);
    }
  } else if (value.is_array()) {
    for (const auto& element : value) appendPairs(key + "[]", true, element, out);
  } else if (hasKey) {
    out.emplace_back(key, value);
  }
}

}  // namespace

LMQueryStringPair::LMQueryStringPair(std::string field, platform::Json value)
    : field_(std::move(field)), value_(std::move(value)) {}

std::string LMQueryStringPair::URLEncodedStringValueWithEncoding(LMStringEncoding encoding) const {
  std::string name = LMPercentEscapedQueryStringKeyFromStringWithEncoding(field_, encoding);
  if (value_.is_null()) return name;
  return name + "=" +
         LMPercentEscapedQueryStringValueFromStringWithEncoding(LMQueryStringValueText(value_),
                                                                encoding);
}

std::string LMQueryStringValueText(const platform::Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number_integer()) return value.dump();
  if (value.is_number_float()) {
    // The shortest text that reads back as the same number.
    char candidate[64];
    for (int precision = 1; precision <= 17; ++precision) {
      std::snprintf(candidate, sizeof candidate, "%.*g", precision, value.get<double>());
      if (std::strtod(candidate, nullptr) == value.get<double>()) break;
    }
    return candidate;
  }
  if (value.is_null()) return {};
  return value.dump();
}

std::string LMPercentEscapedQueryStringKeyFromStringWithEncoding(std::string_view text,
                                                                 LMStringEncoding encoding) {
  return percentEscape(text, encoding, "[]");
}

std::string LMPercentEscapedQueryStringValueFromStringWithEncoding(std::string_view text,
                                                                   LMStringEncoding encoding) {
  return percentEscape(text, encoding, {});
}

std::vector<LMQueryStringPair> LMQueryStringPairsFromDictionary(const platform::Json& dictionary) {
  std::vector<LMQueryStringPair> pairs;
  appendPairs({}, false, dictionary, pairs);
  return pairs;
}

std::vector<LMQueryStringPair> LMQueryStringPairsFromKeyAndValue(const std::string& key,
                                                                 const platform::Json& value) {
  std::vector<LMQueryStringPair> pairs;
  appendPairs(key, true, value, pairs);
  return pairs;
}

std::string LMQueryStringFromParametersWithEncoding(const platform::Json& parameters,
                                                    LMStringEncoding encoding) {
  std::string out;
  bool first = true;
  for (const auto& pair : LMQueryStringPairsFromDictionary(parameters)) {
    if (!first) out.push_back('&');
    first = false;
    out += pair.URLEncodedStringValueWithEncoding(encoding);
  }
  return out;
}

}  // namespace lumora
