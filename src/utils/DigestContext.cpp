#include "utils/DigestContext.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace lumora {

void DigestContext::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

DigestContext::DigestContext(DigestKind kind) : ctx_(EVP_MD_CTX_new()) {
  const EVP_MD* md = kind == DigestKind::MD5 ? EVP_md5() : EVP_sha1();
  if (!ctx_ || EVP_DigestInit_ex2(ctx_.get(), md, nullptr) != 1) std::abort();
}

DigestContext::~DigestContext() = default;

void DigestContext::update(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && EVP_DigestUpdate(ctx_.get(), data, size) != 1) std::abort();
}

platform::Bytes DigestContext::finish() {
  platform::Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1) std::abort();
  out.resize(length);
  return out;
}

}  // namespace lumora
