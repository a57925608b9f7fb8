// The file service's crypto, over OpenSSL: raw MD5, a
// SHA-1 over data that arrives in pieces, and RC4 as one key stream over
// pieces (the form in which file chunks arrive and file bodies leave).
// RC4 lives in OpenSSL's legacy provider, which is loaded into a library
// context of this file's own, so the process's default context stays as
// it is.
//
// Free functions are stateless and safe from any thread; a Sha1Stream or
// Rc4Stream belongs to one thread at a time. Failures: bad input gives
// nullopt or an object whose ok() is false; nothing throws.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/services/Crypto.h"

namespace localcloud::crypto {

// The 16 raw bytes of the MD5 digest.
std::string md5Bytes(std::string_view bytes);
// SHA-1 as 40 lower-case hexadecimal digits.
std::string sha1Hex(std::string_view bytes);

class Sha1Stream {
 public:
  Sha1Stream();
  // A stream that goes on from where `other` stands (not ok() when the
  // copy failed).
  Sha1Stream(const Sha1Stream& other);
  Sha1Stream& operator=(const Sha1Stream&) = delete;
  bool ok() const { return ok_; }
  void update(std::string_view bytes);
  // The digest of everything given, as 40 lower-case hexadecimal digits;
  // "" when the digest failed. Ends the stream.
  std::string finishHex();

 private:
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
  bool ok_ = false;
};

// RC4 with its key stream made already: `size` bytes of `in` combined with
// `stream` from `position` on into `out` (which may be `in`); false when
// the stream ends before.
bool applyKeyStream(std::string_view stream, std::uint64_t position, const char* in, char* out,
                    std::size_t size);

// RC4 under a key of 1 to 256 bytes; successive pieces continue one key
// stream, so encrypting in pieces gives the bytes of encrypting at once.
class Rc4Stream {
 public:
  explicit Rc4Stream(std::string_view key);
  bool ok() const { return ok_; }
  // The piece passed through the key stream (encrypts and decrypts alike);
  // nullopt when the cipher failed.
  std::optional<std::string> apply(std::string_view bytes);
  // The same, in place; false when the cipher failed.
  bool applyInPlace(char* bytes, std::size_t size);
  // The same from `in` into `out` (`size` bytes each).
  bool applyInto(const char* in, char* out, std::size_t size);

 private:
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx_;
  bool ok_ = false;
};

}  // namespace localcloud::crypto
