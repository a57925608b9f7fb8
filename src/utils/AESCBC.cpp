#include "utils/AESCBC.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace lumora {
namespace {

// Ciphers are fetched once and kept for the life of the process; fetching on
// every call would cost a provider lookup each time.
const EVP_CIPHER* cipherForKeyLength(std::size_t keyLength) {
  static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  static EVP_CIPHER* const aes192 = EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr);
  static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  switch (keyLength) {
    case 16: return aes128;
    case 24: return aes192;
    case 32: return aes256;
    default: return nullptr;
  }
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

std::optional<platform::Bytes> run(bool encrypt, std::span<const std::uint8_t> data,
                                   std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t> iv) {
  const EVP_CIPHER* cipher = cipherForKeyLength(key.size());
  if (cipher == nullptr || iv.size() != 16) return std::nullopt;
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, key.data(), iv.data(), encrypt ? 1 : 0,
                                 nullptr) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  // Padded output is never longer than the input plus one block.
  platform::Bytes out(data.size() + 16);
  std::size_t written = 0;
  std::size_t offset = 0;
  constexpr std::size_t kChunk = std::size_t{1} << 30;  // EVP lengths are ints
  while (offset < data.size()) {
    const std::size_t take = std::min(kChunk, data.size() - offset);
    int produced = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data() + written, &produced, data.data() + offset,
                         static_cast<int>(take)) != 1) {
      ERR_clear_error();
      return std::nullopt;
    }
    written += static_cast<std::size_t>(produced);
    offset += take;
  }
  int produced = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &produced) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  written += static_cast<std::size_t>(produced);
  out.resize(written);
  return out;
}

}  // namespace

std::optional<platform::Bytes> aesCBCEncrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv) {
  return run(true, data, key, iv);
}

std::optional<platform::Bytes> aesCBCDecrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv) {
  return run(false, data, key, iv);
}

}  // namespace lumora
