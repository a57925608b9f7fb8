// Helpers of the feedback upload: device facts, digests, JSON text, the
// feedback service's cookies, and the encryption of request fields and
// decryption of replies under the feedback login's security key.
//
// Stateless functions, any thread (the cookies go to the shared store,
// which locks). Failures come back as nullopt or are left out, as each
// function says.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

class QBDataUtil {
 public:
  using Fields = std::map<std::string, std::string>;

  // A kernel parameter by its sysctl name ("hw.machine"), nullopt when it
  // cannot be read.
  static std::optional<std::string> getDeviceInfoByName(std::string_view name);
  // 32 lower-case hexadecimal digits of the MD5 of the text's bytes.
  static std::string md5String(std::string_view text);
  // Pretty-printed JSON text, or the writer's error (logged).
  static platform::Result<std::string> stringFromJSONObject(const platform::Json& object);
  // Parsed JSON, or the reader's error (logged) for no text or text that
  // does not parse.
  static platform::Result<platform::Json> jsonObjectFromString(const std::optional<std::string>& text);
  // Stores a cookie (path "/", the feedback cookie domain) in the shared
  // store; false when it cannot be formed.
  static bool setCookieName(const std::string& name, const std::optional<std::string>& value);

  // Every field whose name does not start with "_" replaced by its AES text
  // under the feedback login's key (dropped when that fails), the "_" fields
  // as they are, and "signature" over method, URL and the result when the
  // login has a key.
  static Fields encryptRequestParam(const Fields& params, const std::string& url,
                                    const std::string& method);
  // The reply bytes decrypted under the feedback login's key; nullopt when
  // they do not decrypt.
  static std::optional<std::string> decryptResponseObject(const std::string& reply);

  QBDataUtil() = delete;
};

}  // namespace lumora
