// The AES forms that read text or bytes from outside: the fixed-vector text
// decoder behind every signed reply (and both SDKs' coders over it), the
// byte decoders, the explicit-vector and random-vector (CA) forms. The
// local cloud's decoders, written apart, are the reference: whatever they
// decrypt, the client decrypts alike. Fuzzed plain texts go through each
// encoder and back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "account/KPAESCoder.h"
#include "account/KPAESCrypt.h"
#include "server/services/Crypto.h"
#include "support/Fuzz.h"
#include "utils/AESCrypt.h"
#include "utils/LMAESCoder.h"

namespace {

// Base64 of the 16 bytes "0123456789abcdef".
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

// The client's reading of a text the local cloud decrypted: the same text,
// or nothing when it is not UTF-8.
std::optional<std::string> asClientReads(const std::optional<std::string>& plain) {
  if (!plain || !platform::isValidUtf8(*plain)) return std::nullopt;
  return plain;
}

void fixedVectorText(std::string_view text) {
  auto client = lumora::AES128DecryptWithKey(text, kKey);
  FUZZ_CHECK(lumora::LMAESCoder(kKey).decryptString(text) == client);
  FUZZ_CHECK(lumora::KPAESCoder(kKey).decryptString(text) == client);
  if (auto server = localcloud::crypto::aesDecryptBase64(text, kKey)) {
    FUZZ_CHECK(client == asClientReads(server));
  }
}

void randomVectorText(std::string_view form) {
  auto client = lumora::AES128RandomIVDecryptWithKey(form, kKey);
  if (auto server = localcloud::crypto::randomIvDecrypt(form, kKey)) {
    FUZZ_CHECK(client == asClientReads(server));
  }
}

void roundTrips(std::string_view plain) {
  auto sealed = lumora::AES128EncryptWithKey(plain, kKey);
  FUZZ_CHECK(sealed.has_value());
  FUZZ_CHECK(localcloud::crypto::aesDecryptBase64(*sealed, kKey) == std::string(plain));
  auto sealedCA = lumora::AES128RandomIVEncryptWithKey(plain, kKey);
  FUZZ_CHECK(sealedCA.has_value());
  FUZZ_CHECK(localcloud::crypto::randomIvDecrypt(*sealedCA, kKey) == std::string(plain));
  if (platform::isValidUtf8(plain)) {
    FUZZ_CHECK(lumora::AES128DecryptWithKey(*sealed, kKey) == std::string(plain));
    FUZZ_CHECK(lumora::AES128RandomIVDecryptWithKey(*sealedCA, kKey) == std::string(plain));
  }
}

void byteForms(FuzzedDataProvider& input) {
  static constexpr std::size_t kKeySizes[] = {16, 24, 32, 0, 15, 17};
  const std::size_t keySize = input.PickValueInArray(kKeySizes);
  platform::Bytes key = input.ConsumeBytes<std::uint8_t>(keySize);
  key.resize(keySize);
  platform::Bytes iv = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 17));
  platform::Bytes data = input.ConsumeRemainingBytes<std::uint8_t>();

  (void)lumora::decryptAESWithKey(data, key);
  (void)lumora::AES128DecryptWithDataKey(data, key);
  (void)lumora::decryptAESWithKey(data, key, iv);
  if (auto sealed = lumora::encryptAESWithKey(data, key)) {
    FUZZ_CHECK(lumora::decryptAESWithKey(*sealed, key) == data);
  }
  if (auto sealed = lumora::encryptAESWithKey(data, key, iv)) {
    FUZZ_CHECK(lumora::decryptAESWithKey(*sealed, key, iv) == data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: fixedVectorText(input.ConsumeRemainingBytesAsString()); break;
    case 1: randomVectorText(input.ConsumeRemainingBytesAsString()); break;
    case 2: roundTrips(input.ConsumeRemainingBytesAsString()); break;
    case 3: {
      // A key text from outside as well (a session's security key).
      std::string key = input.ConsumeRandomLengthString(64);
      std::string text = input.ConsumeRemainingBytesAsString();
      (void)lumora::AES128DecryptWithKey(text, key);
      (void)lumora::AES128RandomIVDecryptWithKey(text, key);
      (void)lumora::AES128EncryptWithKey(text, key);
      break;
    }
    default: byteForms(input); break;
  }
  return 0;
}
