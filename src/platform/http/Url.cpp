#include "platform/http/Url.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "platform/Bytes.h"

namespace platform::http {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(handle, which, &value, flags) != CURLUE_OK || value == nullptr) {
    return std::nullopt;
  }
  std::string out(value);
  curl_free(value);
  return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  // One request parses the same URL several times (signature, https rule,
  // cookies): the thread's latest success answers again without libcurl.
  thread_local std::optional<Url> latest;
  if (latest && latest->text_ == text) return latest;
  latest = parseUncached(text);
  return latest;
}

std::optional<Url> Url::parseUncached(std::string_view text) {
  std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
  if (!handle) return std::nullopt;
  std::string copy(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return std::nullopt;
  }
  Url url;
  url.text_ = std::move(copy);
  auto scheme = part(handle.get(), CURLUPART_SCHEME);
  auto host = part(handle.get(), CURLUPART_HOST);
  if (!scheme || !host || host->empty()) return std::nullopt;
  url.scheme_ = lowerCased(*scheme);
  url.host_ = lowerCased(*host);
  if (auto port = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)) {
    url.port_ = std::atoi(port->c_str());
  }
  if (auto path = part(handle.get(), CURLUPART_PATH); path && !path->empty()) url.path_ = *path;
  if (auto query = part(handle.get(), CURLUPART_QUERY)) url.query_ = *query;
  return url;
}

std::optional<std::string> Url::resolve(std::string_view base, std::string_view reference) {
  if (base.find('\0') != std::string_view::npos || reference.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
  if (!handle) return std::nullopt;
  std::string baseText(base);
  std::string referenceText(reference);
  if (curl_url_set(handle.get(), CURLUPART_URL, baseText.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_URL, referenceText.c_str(),
                   CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  return part(handle.get(), CURLUPART_URL);
}

std::string Url::bareHost() const {
  if (host_.size() >= 2 && host_.front() == '[' && host_.back() == ']') {
    return host_.substr(1, host_.size() - 2);
  }
  return host_;
}

bool Url::isLoopback() const {
  if (host_ == "localhost") return true;
  std::string bare = bareHost();
  in_addr v4{};
  if (inet_pton(AF_INET, bare.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

bool Url::hostIsAddress() const {
  std::string bare = bareHost();
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, bare.c_str(), &v4) == 1 || inet_pton(AF_INET6, bare.c_str(), &v6) == 1;
}

std::string percentEncoded(std::string_view text, std::string_view keep) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || keep.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexDigitValue(text[i + 1]);
    int lo = hexDigitValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::optional<std::string_view> queryOfURLText(std::string_view url) {
  std::string_view head = url.substr(0, url.find('#'));
  auto mark = head.find('?');
  if (mark == std::string_view::npos) return std::nullopt;
  return head.substr(mark + 1);
}

std::string urlByAppendingQuery(std::string_view url, std::string_view query) {
  auto fragment = url.find('#');
  std::string_view head = url.substr(0, fragment);
  std::string_view tail = fragment == std::string_view::npos ? std::string_view() : url.substr(fragment);
  std::string out(head);
  out += head.find('?') != std::string_view::npos ? '&' : '?';
  out += query;
  out += tail;
  return out;
}

}  // namespace platform::http
