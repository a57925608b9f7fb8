#include "server/services/FileCrypto.h"

#include <openssl/provider.h>

#include <algorithm>

namespace localcloud::crypto {

namespace {

const unsigned char* keyBytesOf(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// RC4 fetched once from a private library context holding the legacy
// provider; null when the provider cannot be loaded.
const EVP_CIPHER* rc4Cipher() {
  static EVP_CIPHER* const cipher = [] () -> EVP_CIPHER* {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx == nullptr || OSSL_PROVIDER_load(ctx, "legacy") == nullptr) return nullptr;
    return EVP_CIPHER_fetch(ctx, "RC4", nullptr);
  }();
  return cipher;
}

}  // namespace

std::string md5Bytes(std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_md5(), nullptr) != 1) return {};
  return std::string(reinterpret_cast<char*>(out), length);
}

std::string sha1Hex(std::string_view bytes) {
  Sha1Stream sha1;
  sha1.update(bytes);
  return sha1.finishHex();
}

bool applyKeyStream(std::string_view stream, std::uint64_t position, const char* in, char* out,
                    std::size_t size) {
  if (position > stream.size() || size > stream.size() - position) return false;
  const char* key = stream.data() + position;
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(in[i] ^ key[i]);
  return true;
}

Sha1Stream::Sha1Stream() : ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha1(), nullptr) == 1;
}

Sha1Stream::Sha1Stream(const Sha1Stream& other) : ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  ok_ = ctx_ && other.ok_ && EVP_MD_CTX_copy_ex(ctx_.get(), other.ctx_.get()) == 1;
}

void Sha1Stream::update(std::string_view bytes) {
  if (ok_ && !bytes.empty()) ok_ = EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1;
}

std::string Sha1Stream::finishHex() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), out, &length) != 1) return {};
  ok_ = false;
  return hexEncode(std::string_view(reinterpret_cast<char*>(out), length));
}

Rc4Stream::Rc4Stream(std::string_view key) : ctx_(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free) {
  const EVP_CIPHER* cipher = rc4Cipher();
  if (!ctx_ || cipher == nullptr || key.empty() || key.size() > 256) return;
  // The key length is set between choosing the cipher and giving the key.
  ok_ = EVP_EncryptInit_ex(ctx_.get(), cipher, nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_key_length(ctx_.get(), static_cast<int>(key.size())) == 1 &&
        EVP_EncryptInit_ex(ctx_.get(), nullptr, nullptr, keyBytesOf(key), nullptr) == 1;
}

std::optional<std::string> Rc4Stream::apply(std::string_view bytes) {
  std::string out(bytes);
  if (!applyInPlace(out.data(), out.size())) return std::nullopt;
  return out;
}

bool Rc4Stream::applyInPlace(char* bytes, std::size_t size) { return applyInto(bytes, bytes, size); }

bool Rc4Stream::applyInto(const char* in, char* out, std::size_t size) {
  if (!ok_) return false;
  // EVP_EncryptUpdate takes an int length: long pieces go in parts.
  constexpr std::size_t kStep = 1 << 30;
  for (std::size_t done = 0; done < size; done += kStep) {
    std::size_t step = std::min(kStep, size - done);
    auto* to = reinterpret_cast<unsigned char*>(out + done);
    const auto* from = reinterpret_cast<const unsigned char*>(in + done);
    int written = 0;
    if (EVP_EncryptUpdate(ctx_.get(), to, &written, from, static_cast<int>(step)) != 1 ||
        static_cast<std::size_t>(written) != step) {
      ok_ = false;
      return false;
    }
  }
  return true;
}

}  // namespace localcloud::crypto
