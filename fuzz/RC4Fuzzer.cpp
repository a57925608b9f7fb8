// RC4 over keys and data from outside (file chunks and the keys that come
// with them): the client's transform against the local cloud's streamed one
// (fed in pieces of fuzzed sizes), and applying it twice gives the data back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/services/FileCrypto.h"
#include "support/Fuzz.h"
#include "utils/AESCrypt.h"
#include "utils/RC4.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string keyText = input.ConsumeRandomLengthString(300);
  const platform::Bytes key = platform::toBytes(keyText);
  const std::string plainText = input.ConsumeRemainingBytesAsString();
  const platform::Bytes plain = platform::toBytes(plainText);

  auto client = lumora::rc4DataWithKey(plain, key);
  FUZZ_CHECK(client.has_value() == !key.empty());
  if (!client) return 0;
  FUZZ_CHECK(client->size() == plain.size());
  FUZZ_CHECK(lumora::rc4DataWithKey(*client, key) == plain);
  FUZZ_CHECK(lumora::RC4EncryptWithDataKey(plain, key) == client);
  if (platform::isValidUtf8(keyText)) FUZZ_CHECK(lumora::RC4EncryptWithKey(plain, keyText) == client);

  if (key.size() > 256) return 0;
  localcloud::crypto::Rc4Stream stream(keyText);
  FUZZ_CHECK(stream.ok());
  std::string streamed;
  std::size_t offset = 0;
  std::size_t piece = 1 + keyText.size() % 7;
  while (offset < plainText.size()) {
    auto out = stream.apply(std::string_view(plainText).substr(offset, piece));
    FUZZ_CHECK(out.has_value());
    streamed += *out;
    offset += piece;
    piece = piece * 3 % 257 + 1;
  }
  FUZZ_CHECK(streamed == platform::toString(*client));
  return 0;
}
