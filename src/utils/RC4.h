// RC4 stream cipher for the block transfer of files, through OpenSSL's legacy
// provider (loaded once per process into a private library context, safe
// against concurrent first calls).
//
// rc4DataWithKey is stateless; an RC4Stream belongs to one thread at a time.
// Failures: an empty key, or a legacy provider that cannot be loaded on this
// machine, give nullopt (rc4DataWithKey) or a stream whose ok() is false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/Bytes.h"

struct evp_cipher_ctx_st;

namespace lumora {

// The data XORed with the RC4 key stream of `key` (one byte or more): a new
// buffer of the same length. Encryption and decryption are the same call.
std::optional<platform::Bytes> rc4DataWithKey(const platform::Bytes& data,
                                              const platform::Bytes& key);

// One RC4 key stream over data that arrives in pieces: applying it to the
// pieces one after another gives the bytes rc4DataWithKey gives for the
// whole.
class RC4Stream {
 public:
  explicit RC4Stream(const platform::Bytes& key);
  ~RC4Stream();
  RC4Stream(const RC4Stream&) = delete;
  RC4Stream& operator=(const RC4Stream&) = delete;

  bool ok() const { return ctx_ != nullptr; }
  // Writes `size` bytes of `in` passed through the key stream to `out` (which
  // may be `in` itself). False when the stream is not ok or the cipher
  // failed; the stream is spent then.
  bool apply(const std::uint8_t* in, std::uint8_t* out, std::size_t size);

 private:
  struct Free {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_cipher_ctx_st, Free> ctx_;
};

}  // namespace lumora
