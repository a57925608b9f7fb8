// A digest fed piece by piece (a whole file read block by block), beside the
// one-shot digests of MD5.h and SHA1.h. One context per digest, used from one
// thread at a time. Aborts only if OpenSSL lacks the digest, which a working
// installation never does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Bytes.h"
#include "utils/Digest.h"

struct evp_md_ctx_st;

namespace lumora {

class DigestContext {
 public:
  explicit DigestContext(DigestKind kind);
  ~DigestContext();
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;

  void update(const std::uint8_t* data, std::size_t size);
  // The digest of everything fed so far; the context is spent afterwards.
  platform::Bytes finish();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

}  // namespace lumora
