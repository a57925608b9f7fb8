#include "utils/Digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace lumora {
namespace {

constexpr std::size_t kSlice = 1024 * 1024;

const EVP_MD* digestFor(DigestKind kind) {
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return kind == DigestKind::MD5 ? md5 : sha1;
}

struct DigestContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

platform::Bytes digestOf(DigestKind kind, const std::uint8_t* data, std::size_t size) {
  const EVP_MD* md = digestFor(kind);
  // Each thread keeps one context and sets it up again for every digest.
  thread_local std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx(EVP_MD_CTX_new());
  // These only fail when OpenSSL itself is broken; a wrong digest would be
  // worse than stopping.
  if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) std::abort();
  for (std::size_t offset = 0; offset < size; offset += kSlice) {
    const std::size_t take = std::min(kSlice, size - offset);
    if (EVP_DigestUpdate(ctx.get(), data + offset, take) != 1) std::abort();
  }
  platform::Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &length) != 1) std::abort();
  out.resize(length);
  return out;
}

}  // namespace lumora
