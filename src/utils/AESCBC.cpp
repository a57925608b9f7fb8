#include "utils/AESCBC.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "utils/Base64.h"

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

// Each thread keeps one cipher context and sets it up again for every call:
// a fresh context costs a provider set-up each time, the most of what a short
// text costs. nullptr when the set-up fails (the context is then dropped).
EVP_CIPHER_CTX* threadContext(const EVP_CIPHER* cipher, std::span<const std::uint8_t> key,
                              std::span<const std::uint8_t> iv, bool encrypt) {
  thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx;
  thread_local const EVP_CIPHER* ctxCipher = nullptr;
  if (!ctx) {
    ctx.reset(EVP_CIPHER_CTX_new());
    ctxCipher = nullptr;
    if (!ctx) return nullptr;
  }
  // The same cipher is kept and only given the new key, vector and direction.
  const EVP_CIPHER* given = ctxCipher == cipher ? nullptr : cipher;
  if (EVP_CipherInit_ex2(ctx.get(), given, key.data(), iv.data(), encrypt ? 1 : 0, nullptr) != 1) {
    ERR_clear_error();
    ctx.reset();
    return nullptr;
  }
  ctxCipher = cipher;
  return ctx.get();
}

// Input turned into Base64 is fed to the cipher in pieces, so its output is
// encoded while still in the processor's cache. A multiple of 3 and of 16,
// so encrypted pieces turn into whole Base64 groups.
constexpr std::size_t kPiece = 30 * 1024;

// Runs the cipher over `data`, Target::kPiece bytes at a time, into
// `target`, which provides room(size) (a buffer for up to `size` bytes of
// output) and commit(produced) (that many bytes of it were written), in
// order. False when the cipher fails; the
// target may then hold part of the output, which the caller drops.
template <class Target>
bool run(bool encrypt, std::span<const std::uint8_t> data, std::span<const std::uint8_t> key,
         std::span<const std::uint8_t> iv, Target& target) {
  const EVP_CIPHER* cipher = cipherForKeyLength(key.size());
  if (cipher == nullptr || iv.size() != 16) return false;
  EVP_CIPHER_CTX* ctx = threadContext(cipher, key, iv, encrypt);
  if (ctx == nullptr) return false;
  // Each call may also give out one block held back before, or the padding.
  for (std::size_t offset = 0; offset < data.size(); offset += Target::kPiece) {
    const std::size_t take = std::min(Target::kPiece, data.size() - offset);
    int produced = 0;
    if (EVP_CipherUpdate(ctx, target.room(take + 16), &produced, data.data() + offset,
                         static_cast<int>(take)) != 1) {
      ERR_clear_error();
      return false;
    }
    target.commit(static_cast<std::size_t>(produced));
  }
  int produced = 0;
  if (EVP_CipherFinal_ex(ctx, target.room(16), &produced) != 1) {
    ERR_clear_error();
    return false;
  }
  target.commit(static_cast<std::size_t>(produced));
  return true;
}

// Output straight into a byte container: each piece's room is added to its
// end just before the cipher writes it, then cut to what was produced.
template <class Container>
struct ContainerTarget {
  // The cipher takes the input in one call (pieces of 256 MiB for a longer
  // one): each call has a cost of its own, and in smaller pieces it was
  // most of a decryption's time.
  static constexpr std::size_t kPiece = std::size_t{256} << 20;
  Container out;
  std::size_t used = 0;
  std::uint8_t* room(std::size_t size) {
    out.resize(used + size);
    return reinterpret_cast<std::uint8_t*>(out.data()) + used;
  }
  void commit(std::size_t produced) {
    used += produced;
    out.resize(used);
  }
};

template <class Container>
std::optional<Container> collect(bool encrypt, std::span<const std::uint8_t> data,
                                 std::span<const std::uint8_t> key,
                                 std::span<const std::uint8_t> iv) {
  ContainerTarget<Container> target;
  // Padded output is never longer than the input plus one block.
  target.out.reserve(data.size() + 32);
  if (!run(encrypt, data, key, iv, target)) return std::nullopt;
  return std::move(target.out);
}

// Cipher text turned into Base64 piece by piece, written into `text` (sized
// for the whole result beforehand).
struct Base64Target {
  static constexpr std::size_t kPiece = lumora::kPiece;
  explicit Base64Target(char* text) : w(text) {}
  std::uint8_t* room(std::size_t) { return piece; }
  void commit(std::size_t produced) {
    // Pieces are normally whole groups of 3 bytes; a remainder waits in
    // front of the next piece.
    const std::uint8_t* bytes = piece;
    while (carried > 0 && carried < 3 && produced > 0) {
      carry[carried++] = *bytes++;
      --produced;
    }
    if (carried == 3) {
      base64Encode(carry, 3, w);
      w += 4;
      carried = 0;
    }
    const std::size_t whole = produced / 3 * 3;
    base64Encode(bytes, whole, w);
    w += base64EncodedLength(whole);
    for (std::size_t k = whole; k < produced; ++k) carry[carried++] = bytes[k];
  }
  void finish() { base64Encode(carry, carried, w); }

  char* w;
  std::uint8_t carry[3] = {0, 0, 0};
  std::size_t carried = 0;
  alignas(64) std::uint8_t piece[kPiece + 16];
};

}  // namespace

std::optional<platform::Bytes> aesCBCEncrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv) {
  return collect<platform::Bytes>(true, data, key, iv);
}

std::optional<platform::Bytes> aesCBCDecrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv) {
  return collect<platform::Bytes>(false, data, key, iv);
}

std::optional<std::string> aesCBCDecryptToString(std::span<const std::uint8_t> data,
                                                 std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> iv) {
  return collect<std::string>(false, data, key, iv);
}

std::optional<std::string> aesCBCEncryptToBase64(std::span<const std::uint8_t> data,
                                                 std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> iv,
                                                 std::string_view prefix) {
  const std::size_t cipherSize = (data.size() / 16 + 1) * 16;
  std::string text(prefix.size() + base64EncodedLength(cipherSize), '\0');
  std::copy(prefix.begin(), prefix.end(), text.begin());
  Base64Target target(text.data() + prefix.size());
  if (!run(true, data, key, iv, target)) return std::nullopt;
  target.finish();
  return text;
}

}  // namespace lumora
