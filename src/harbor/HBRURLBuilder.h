// Builds URL texts piece by piece: a base, path components (verbatim or
// escaped), and query parameters, the first opened with "?" and the next
// with "&". Escaping is the legacy kind: only what may not stand in a URL at
// all (blanks, quotes, "%", angle brackets, non-ASCII, ...) is escaped;
// reserved characters such as "&", "=", "+", "/" and "?" stay.
// Plain object; one thread at a time. Failure: URL() is nullopt when the
// text is no absolute URL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace lumora {

class HBRURLBuilder {
 public:
  static HBRURLBuilder URLWithBase(const std::string& base);

  static std::string escapeString(const std::string& text);
  void appendComponent(const std::string& component);
  void escapeAndAppendComponent(const std::string& component);
  // Nothing for an absent value; a value that is no string goes as its text
  // (a number as its decimal). The name is not escaped, the value is.
  void appendValue(const std::optional<platform::Json>& value, const std::string& queryParam);
  std::optional<std::string> URL() const;

  const std::string& URLString() const { return URLString_; }
  std::uint64_t queryParams() const { return queryParams_; }

 private:
  std::string URLString_;
  std::uint64_t queryParams_ = 0;
};

}  // namespace lumora
