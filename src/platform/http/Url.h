// A parsed absolute URL (parsing by libcurl's URL API): the parts the HTTP
// client and the cookie store look at; beside it the text-level URL helpers
// of the whole client (percent escapes, the query of a URL text). Plain value
// type and stateless functions; nothing throws: parse() answers nullopt for
// text that is no absolute URL, percentDecoded nullopt for a broken escape.
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::http {

class Url {
 public:
  static std::optional<Url> parse(std::string_view text);
  // `reference` (absolute, or relative as in a Location field) resolved
  // against the absolute URL `base`; nullopt when either does not parse.
  static std::optional<std::string> resolve(std::string_view base, std::string_view reference);

  // The text as given to parse().
  const std::string& text() const { return text_; }
  // Lower-case scheme, e.g. "https".
  const std::string& scheme() const { return scheme_; }
  // Lower-case host; an IPv6 address keeps its brackets ("[::1]").
  const std::string& host() const { return host_; }
  // The host without the brackets of an IPv6 address ("::1").
  std::string bareHost() const;
  // The explicit port, else the scheme's default (80, 443; 0 if unknown).
  int port() const { return port_; }
  // The path as written (percent escapes kept), "/" when empty.
  const std::string& path() const { return path_; }
  // The query without "?", empty when none.
  const std::string& query() const { return query_; }

  bool isHttp() const { return scheme_ == "http" || scheme_ == "https"; }
  bool isSecure() const { return scheme_ == "https"; }
  // True for "localhost", 127.0.0.0/8 and ::1 (also in its IPv4-mapped form).
  bool isLoopback() const;
  // True when the host is an IPv4 or IPv6 address rather than a name.
  bool hostIsAddress() const;

 private:
  static std::optional<Url> parseUncached(std::string_view text);

  std::string text_;
  std::string scheme_;
  std::string host_;
  int port_ = 0;
  std::string path_ = "/";
  std::string query_;
};

// Every byte of `text` but letters, digits, "-", ".", "_", "~" and the bytes
// of `keep` as "%" and two upper-case hexadecimal digits. Callers choose
// `keep` for their own character set (none for a query value).
std::string percentEncoded(std::string_view text, std::string_view keep = {});
// Every "%" and two hexadecimal digits replaced by that byte ("+" stays as it
// is); nullopt when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecoded(std::string_view text);

// The query of a URL text: what follows its first "?", up to any "#";
// nullopt when no "?" comes before the fragment.
std::optional<std::string_view> queryOfURLText(std::string_view url);
// `url` with `query` added to its query ("?" or, when it has one, "&"), in
// front of any fragment.
std::string urlByAppendingQuery(std::string_view url, std::string_view query);

}  // namespace platform::http
