// Text coder of the signed cloud requests and encrypted replies: fixed-vector
// AES under the Base64 key text (the session's security key), Base64 text out.
//
// A coder is a small value made per request or reply; it holds only its key.
// Calls on one coder from several threads are safe as long as nobody calls
// setKey at the same time. Failures are values: see encryptString and
// decryptString.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace lumora {

class LMAESCoder {
 public:
  explicit LMAESCoder(std::string key);

  const std::string& key() const { return key_; }
  void setKey(std::string key) { key_ = std::move(key); }

  // Base64 text of the cipher text; nullopt for no text or when encryption
  // fails (no key, or a key of the wrong length).
  std::optional<std::string> encryptString(std::optional<std::string_view> text) const;
  // The plain text; nullopt for no text or plain bytes that are not UTF-8,
  // the empty string when decryption fails.
  std::optional<std::string> decryptString(std::optional<std::string_view> text) const;

 private:
  std::string key_;
};

}  // namespace lumora
