// The account SDK's text coder: fixed-vector AES under the Base64 key text,
// Base64 text out (the same forms as the cloud SDK's LMAESCoder).
//
// Holds only its key; calls may run on several threads at once as long as
// nobody calls setKey meanwhile. Failures: encryption yields nullopt, a failed
// decryption the empty string, plain bytes that are not UTF-8 nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "account/KPEnDecryptCoder.h"

namespace lumora {

class KPAESCoder : public KPEnDecryptCoder {
 public:
  explicit KPAESCoder(std::string key) : key_(std::move(key)) {}

  const std::string& key() const { return key_; }
  void setKey(std::string key) { key_ = std::move(key); }

  std::optional<std::string> encryptString(std::optional<std::string_view> text) const override;
  std::optional<std::string> decryptString(std::optional<std::string_view> text) const override;

 private:
  std::string key_;
};

}  // namespace lumora
