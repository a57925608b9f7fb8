// The device's CA token: the token the account service sends back as the
// cookie "passport_ca_token", and the CA security key under which CA
// requests and their replies are encrypted and signed. Stored as
// "token,security".
//
// A plain immutable value; any thread. Construction fails (nullopt) when a
// part is missing; a token with an empty part exists but is not legal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class QBPassportCAToken {
 public:
  // nullopt unless both are given (empty texts included).
  static std::optional<QBPassportCAToken> initWithToken(std::optional<std::string> token,
                                                        std::optional<std::string> security);
  // The stored form: split at ","; the first part is the token, the second
  // the security key. nullopt for fewer than two parts.
  static std::optional<QBPassportCAToken> initWithString(std::optional<std::string_view> text);

  const std::string& token() const { return token_; }
  const std::string& security() const { return security_; }
  // Token and security key both non-empty.
  bool isLegal() const { return !token_.empty() && !security_.empty(); }
  // "token,security".
  std::string description() const { return token_ + "," + security_; }

 private:
  QBPassportCAToken(std::string token, std::string security)
      : token_(std::move(token)), security_(std::move(security)) {}

  std::string token_;
  std::string security_;
};

}  // namespace lumora
