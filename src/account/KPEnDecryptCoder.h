// The text coder that the account request builder accepts: anything that can
// encrypt and decrypt a text. Held through std::shared_ptr (a request keeps
// its coder for the reply). No text in gives no text out; other failures are
// the implementation's to describe. Implementations state their own threading.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class KPEnDecryptCoder {
 public:
  virtual ~KPEnDecryptCoder() = default;

  virtual std::optional<std::string> encryptString(std::optional<std::string_view> text) const = 0;
  virtual std::optional<std::string> decryptString(std::optional<std::string_view> text) const = 0;
};

}  // namespace lumora
