#include "utils/RC4.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace lumora {
namespace {

// RC4 lives in OpenSSL's legacy provider. It is loaded into a private library
// context so the process-wide default context keeps its usual algorithm set.
// The context and the fetched cipher are kept for the life of the process;
// nullptr when the provider cannot be loaded.
const EVP_CIPHER* rc4Cipher() {
  static EVP_CIPHER* const cipher = []() -> EVP_CIPHER* {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx == nullptr) return nullptr;
    if (OSSL_PROVIDER_load(ctx, "legacy") == nullptr) {
      OSSL_LIB_CTX_free(ctx);
      ERR_clear_error();
      return nullptr;
    }
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
    if (fetched == nullptr) ERR_clear_error();
    return fetched;
  }();
  return cipher;
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

std::optional<platform::Bytes> rc4DataWithKey(const platform::Bytes& data,
                                              const platform::Bytes& key) {
  // An empty key has no key schedule (the cipher would index it modulo zero).
  if (key.empty() || key.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  const EVP_CIPHER* cipher = rc4Cipher();
  if (cipher == nullptr) return std::nullopt;
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  auto fail = [] {
    ERR_clear_error();
    return std::nullopt;
  };
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1) return fail();
  if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1) return fail();
  if (EVP_EncryptInit_ex2(ctx.get(), nullptr, key.data(), nullptr, nullptr) != 1) return fail();

  platform::Bytes out(data.size());
  constexpr std::size_t kChunk = std::size_t{1} << 30;  // EVP lengths are ints
  std::size_t offset = 0;
  while (offset < data.size()) {
    const std::size_t take = std::min(kChunk, data.size() - offset);
    int produced = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data() + offset, &produced, data.data() + offset,
                          static_cast<int>(take)) != 1 ||
        static_cast<std::size_t>(produced) != take) {
      return fail();
    }
    offset += take;
  }
  return out;
}

}  // namespace lumora
