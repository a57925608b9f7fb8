// Error values: a domain, an integer code and a user-info dictionary, the
// shape every failure takes across module boundaries. Nothing here throws.
// Plain value type: copy it freely, between threads too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

using Json = nlohmann::json;

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

class Error {
 public:
  // Key under which an error wrapped by another is kept in the user info.
  static constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
  // Key of the human-readable summary, when one is given.
  static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

  Error() = default;
  Error(std::string domain, std::int64_t code, Json userInfo = nullptr);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  // Always an object or null.
  const Json& userInfo() const { return userInfo_; }
  Json& mutableUserInfo();

  // The wrapped error under kUnderlyingErrorKey, if any.
  std::optional<Error> underlying() const;
  // Returns a copy with `inner` stored under kUnderlyingErrorKey.
  Error withUnderlying(const Error& inner) const;

  // {"domain": ..., "code": ..., "userInfo": ...}; fromJson accepts that form.
  Json toJson() const;
  static std::optional<Error> fromJson(const Json& json);

  // "domain code: description" for logs and messages.
  std::string description() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_ && a.userInfo_ == b.userInfo_;
  }

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  Json userInfo_;
};

// An error of kPOSIXErrorDomain with the errno value `code`, described as
// "<what>: <the system's text for code>".
Error posixError(int code, const std::string& what);

}  // namespace platform
