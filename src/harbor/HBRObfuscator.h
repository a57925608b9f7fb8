// Per-kit settings written into the app's information dictionary in a form
// that is not plain to read: the dictionary as a keyed archive, Base64
// encoded without line breaks. There is no key or other secret.
// Stateless; any thread. Failure: decoding nil, empty or malformed data
// throws the platform exception "InvalidObfuscatedData" (a configuration
// error of the app, as the platform facade's own).
#pragma once

#include <optional>

#include "platform/Bytes.h"
#include "platform/Error.h"

namespace lumora {

class HBRObfuscator {
 public:
  // `dictionary` must be a JSON object; nested nulls are left out.
  static platform::Bytes obfuscatedDataFromDictionary(const platform::Json& dictionary);
  static platform::Json dictionaryWithObfuscatedData(const std::optional<platform::Bytes>& data);
};

}  // namespace lumora
