// Base64 text from outside: the cloud SDK's lenient decoder, the account
// SDK's URL-safe one and the local cloud's strict one (and its hexadecimal
// decoder). What the strict decoder accepts the lenient one reads alike,
// and decoded bytes go through each encoder and back unchanged.
#include <cstddef>
#include <cstdint>

#include "account/KPAESCrypt.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"
#include "utils/AESCrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::text(data, size);

  const platform::Bytes lenient = lumora::dataWithBase64EncodedString(input);
  FUZZ_CHECK(lumora::dataWithBase64EncodedString(lumora::base64Encoding(lenient)) == lenient);
  const std::size_t lineLength = size % 97;
  FUZZ_CHECK(lumora::dataWithBase64EncodedString(
                 lumora::base64EncodingWithLineLength(lenient, lineLength)) == lenient);

  const platform::Bytes urlSafe = lumora::initWithBase64UrlSafeEncodedString(input);
  FUZZ_CHECK(lumora::initWithBase64UrlSafeEncodedString(lumora::base64UrlSafeEncoding(urlSafe)) ==
             urlSafe);

  if (auto strict = localcloud::crypto::base64Decode(input)) {
    FUZZ_CHECK(platform::toString(lenient) == *strict);
    FUZZ_CHECK(localcloud::crypto::base64Decode(localcloud::crypto::base64Encode(*strict)) == strict);
  }
  if (auto hex = localcloud::crypto::hexDecode(input)) {
    FUZZ_CHECK(localcloud::crypto::hexDecode(localcloud::crypto::hexEncode(*hex)) == hex);
  }
  return 0;
}
