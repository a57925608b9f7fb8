#include "utils/RC4.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <climits>

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

}  // namespace

void RC4Stream::Free::operator()(evp_cipher_ctx_st* ctx) const { EVP_CIPHER_CTX_free(ctx); }

RC4Stream::RC4Stream(const platform::Bytes& key) {
  // An empty key has no key schedule (the cipher would index it modulo zero).
  if (key.empty() || key.size() > static_cast<std::size_t>(INT32_MAX)) return;
  const EVP_CIPHER* cipher = rc4Cipher();
  if (cipher == nullptr) return;
  std::unique_ptr<evp_cipher_ctx_st, Free> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1 ||
      EVP_EncryptInit_ex2(ctx.get(), nullptr, key.data(), nullptr, nullptr) != 1) {
    ERR_clear_error();
    return;
  }
  ctx_ = std::move(ctx);
}

RC4Stream::~RC4Stream() = default;

bool RC4Stream::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
  if (!ctx_) return false;
  constexpr std::size_t kChunk = std::size_t{1} << 30;  // EVP lengths are ints
  for (std::size_t offset = 0; offset < size;) {
    const std::size_t take = std::min(kChunk, size - offset);
    int produced = 0;
    if (EVP_EncryptUpdate(ctx_.get(), out + offset, &produced, in + offset,
                          static_cast<int>(take)) != 1 ||
        static_cast<std::size_t>(produced) != take) {
      ERR_clear_error();
      ctx_.reset();
      return false;
    }
    offset += take;
  }
  return true;
}

std::optional<platform::Bytes> rc4DataWithKey(const platform::Bytes& data,
                                              const platform::Bytes& key) {
  RC4Stream stream(key);
  platform::Bytes out(data.size());
  if (!stream.ok() || !stream.apply(data.data(), out.data(), data.size())) return std::nullopt;
  return out;
}

}  // namespace lumora
