#include "utils/LMLogRedaction.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/JsonParse.h"
#include "platform/PrintableText.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

// A name as the secret names are listed: lower case, without "-" and "_".
std::string normalizedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '-' || c == '_') continue;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

// The names of secrets wherever they appear, normalized and sorted.
constexpr std::array<std::string_view, 53> kSecretNames = {
    "accesstoken",
    "apikey",
    "appkey",
    "apptoken",
    "authorization",
    "betatestertoken",
    "betatoken",
    "casecurity",
    "casign",
    "catoken",
    "ckey",
    "ckeyhint",
    "clientsign",
    "cookie",
    "credential",
    "credentials",
    "devicetoken",
    "hash",
    "ick",
    "kopassportpasstoken",
    "kopassportservicetoken",
    "kopassportssecurity",
    "kopushsdkcassigneddevicetoken",
    "kopushsdksassignedregsecret",
    "kopushsdksassignedusersecurity",
    "kopushsdksassignedusertoken",
    "kosdkappkey",
    "kosdkappsecretandroid",
    "kosdkappsecretios",
    "passportcatoken",
    "passtoken",
    "passwd",
    "password",
    "psecurity",
    "pwd",
    "refreshtoken",
    "regsecret",
    "secret",
    "secretandroid",
    "secretios",
    "securekey",
    "security",
    "servicetoken",
    "setcookie",
    "sig",
    "sign",
    "signature",
    "ssecurity",
    "ticket",
    "token",
    "xblackboxapikey",
    "xblackboxbetatoken",
    "xblackboxdevelopertoken",
};
static_assert(std::is_sorted(kSecretNames.begin(), kSecretNames.end()));

// Secrets only as URL-encoded parameters: a pending sign-in step's ticket
// and a one-time or authorization code.
constexpr std::array<std::string_view, 2> kParameterSecretNames = {"code", "t"};

bool isSecretName(std::string_view name) {
  return std::binary_search(kSecretNames.begin(), kSecretNames.end(), normalizedName(name));
}

// Members whose value is a link that is itself the secret: a temporary
// download address, shown as LMLoggableLink shows it.
bool isSecretLinkName(std::string_view name) { return normalizedName(name) == "tmpurl"; }

bool isSecretParameterName(std::string_view name) {
  const std::string normalized = normalizedName(name);
  return std::binary_search(kSecretNames.begin(), kSecretNames.end(), normalized) ||
         std::find(kParameterSecretNames.begin(), kParameterSecretNames.end(), normalized) !=
             kParameterSecretNames.end();
}

// Where the authority of `url` begins ("scheme://" or "//" in front), or
// npos when it has none.
std::size_t authorityStart(std::string_view url) {
  if (url.starts_with("//")) return 2;
  const std::size_t mark = url.find("://");
  if (mark == std::string_view::npos || mark == 0) return std::string_view::npos;
  if (!std::isalpha(static_cast<unsigned char>(url[0]))) return std::string_view::npos;
  for (std::size_t i = 1; i < mark; ++i) {
    const char c = url[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return std::string_view::npos;
    }
  }
  return mark + 3;
}

bool looksLikeLink(std::string_view text) {
  return text.starts_with('/') || authorityStart(text) != std::string_view::npos;
}

bool looksLikeJsonText(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && (text[first] == '{' || text[first] == '[');
}

// `url` (no query or fragment) with the password of its "user:password@"
// part hidden.
std::string withoutPassword(std::string_view url) {
  const std::size_t start = authorityStart(url);
  if (start == std::string_view::npos) return std::string(url);
  const std::size_t end = std::min(url.find('/', start), url.size());
  const std::size_t at = url.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  const std::size_t colon = url.substr(start, at).find(':');
  if (colon == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, start + colon + 1)) + kLMLogHidden + std::string(url.substr(start + at));
}

// How deep links and JSON texts held in one another are looked into (a
// parameter's value, a JSON string); deeper ones are hidden whole, so that
// no text from outside makes the redaction recurse without bound.
constexpr int kMaxNesting = 8;

std::string redactedText(std::string_view text, int depth);
std::string redactedURL(std::string_view url, int depth);
platform::Json redactedJSON(const platform::Json& value, int depth);

// A parameter's name or value as it reads: "+" a space, escapes decoded
// (the text as it is when an escape is broken).
std::string decodedParameterText(std::string_view text) {
  std::string plus(text);
  std::replace(plus.begin(), plus.end(), '+', ' ');
  return platform::http::percentDecoded(plus).value_or(std::string(text));
}

// "a=1&b=2": the values of secret-named parameters hidden, and a value that
// is a link or JSON text redacted within.
std::string redactedParameters(std::string_view text, int depth) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('&', start), text.size());
    const std::string_view pair = text.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
      out += pair;
    } else {
      const std::string_view name = pair.substr(0, equals);
      const std::string_view value = pair.substr(equals + 1);
      out += name;
      out += '=';
      if (isSecretParameterName(decodedParameterText(name))) {
        out += kLMLogHidden;
      } else {
        const std::string decoded = decodedParameterText(value);
        const std::string shown = redactedText(decoded, depth + 1);
        out += shown == decoded ? std::string(value) : platform::http::percentEncoded(shown, ":/()");
      }
    }
    if (end == text.size()) break;
    out += '&';
    start = end + 1;
  }
  return out;
}

// A text that is a link or JSON object or array text, redacted; any other
// text as it is.
std::string redactedText(std::string_view text, int depth) {
  const bool link = looksLikeLink(text);
  if (!link && !looksLikeJsonText(text)) return std::string(text);
  if (depth > kMaxNesting) return kLMLogHidden;
  if (link) return redactedURL(text, depth);
  const platform::Json parsed = platform::parseJson(text);
  if (parsed.is_discarded() || !parsed.is_structured()) return std::string(text);
  const platform::Json shown = redactedJSON(parsed, depth);
  if (shown == parsed) return std::string(text);
  return shown.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
}

std::string redactedURL(std::string_view url, int depth) {
  const std::size_t hash = url.find('#');
  const std::string_view head = url.substr(0, hash);
  const std::size_t question = head.find('?');
  std::string shown = withoutPassword(head.substr(0, question));
  if (question != std::string_view::npos) shown += "?" + redactedParameters(head.substr(question + 1), depth);
  if (hash != std::string_view::npos) shown += "#" + redactedParameters(url.substr(hash + 1), depth);
  return shown;
}

platform::Json redactedJSON(const platform::Json& value, int depth) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    std::string shown = redactedText(text, depth + 1);
    return shown == text ? value : platform::Json(std::move(shown));
  }
  if (value.is_array()) {
    platform::Json out = platform::Json::array();
    for (const auto& element : value) out.push_back(redactedJSON(element, depth));
    return out;
  }
  if (!value.is_object()) return value;
  platform::Json out = platform::Json::object();
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (isSecretName(it.key())) {
      out[it.key()] = kLMLogHidden;
    } else if (isSecretLinkName(it.key()) && it.value().is_string()) {
      out[it.key()] = LMLoggableLink(it.value().get_ref<const std::string&>());
    } else {
      out[it.key()] = redactedJSON(it.value(), depth);
    }
  }
  return out;
}

// Where the cookie pair beginning at `from` ends: at the next ";", or at a
// "," that begins another cookie ("name=" follows it, as when Set-Cookie
// fields are joined into one line; the "," of an Expires date is followed
// by no "=").
std::size_t cookiePairEnd(std::string_view field, std::size_t from) {
  std::size_t at = from;
  while (true) {
    at = field.find_first_of(";,", at);
    if (at == std::string_view::npos || field[at] == ';') return at;
    const std::size_t next = field.find_first_not_of(' ', at + 1);
    const std::size_t stop = next == std::string_view::npos ? next : field.find_first_of("=;, ", next);
    if (stop != std::string_view::npos && stop > next && field[stop] == '=') return at;
    ++at;
  }
}

}  // namespace

std::string LMLoggableURL(std::string_view url) { return redactedURL(url, 0); }

std::string LMLoggableLink(std::string_view url) {
  std::string shown = withoutPassword(url.substr(0, url.find_first_of("?#")));
  const std::size_t scheme = shown.find("://");
  const std::size_t slash = shown.rfind('/');
  if (scheme != std::string::npos && slash != std::string::npos && slash > scheme + 2) {
    shown = shown.substr(0, slash + 1) + kLMLogHidden;
  }
  return shown;
}

platform::Json LMLoggableJSON(const platform::Json& value) { return redactedJSON(value, 0); }

std::string LMLoggableJSONText(const platform::Json& value) {
  return platform::printableJsonText(
      LMLoggableJSON(value).dump(-1, ' ', false, platform::Json::error_handler_t::replace));
}

std::string LMLoggableForm(std::string_view body) { return redactedParameters(body, 0); }

std::string LMLoggableCookieHeader(std::string_view field) {
  std::string shown;
  shown.reserve(field.size());
  // A field name in front ("Cookie:", "Set-Cookie:") stays: a cookie name
  // holds no ":".
  std::size_t start = 0;
  if (const std::size_t colon = field.find_first_of(":=;"); colon != std::string_view::npos && field[colon] == ':') {
    shown += field.substr(0, colon + 1);
    start = colon + 1;
  }
  while (true) {
    const std::size_t end = std::min(cookiePairEnd(field, start), field.size());
    const std::string_view pair = field.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    const std::string_view name = equals == std::string_view::npos ? pair : pair.substr(0, equals);
    const std::size_t first = name.find_first_not_of(' ');
    const std::size_t last = name.find_last_not_of(' ');
    if (equals != std::string_view::npos && first != std::string_view::npos &&
        isSecretName(name.substr(first, last - first + 1))) {
      shown += pair.substr(0, equals + 1);
      shown += kLMLogHidden;
    } else {
      shown += pair;
    }
    if (end == field.size()) break;
    shown += field[end];
    start = end + 1;
  }
  return shown;
}

}  // namespace lumora
