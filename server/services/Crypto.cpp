#include "server/services/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <cctype>
#include <stdexcept>

namespace localcloud::crypto {

namespace {

const unsigned char* bytesOf(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The algorithms of every request, fetched from the provider once: an
// implicit fetch on each use goes through the provider store's lock. Kept
// for the life of the process; the implicit ones if the fetch fails.
const EVP_CIPHER* aes128CbcCipher() {
  static EVP_CIPHER* const fetched = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  return fetched ? fetched : EVP_aes_128_cbc();
}

const EVP_MD* sha1Digest() {
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return fetched ? fetched : EVP_sha1();
}

std::string digest(const EVP_MD* md, std::string_view text) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), out, &length, md, nullptr) != 1) {
    return {};
  }
  return std::string(reinterpret_cast<char*>(out), length);
}

// One AES-128-CBC pass (encrypt or decrypt) with PKCS#7 padding; nullopt
// when the cipher reports a failure (bad padding included).
std::optional<std::string> aes128Cbc(std::string_view input, std::string_view key, bool encrypt,
                                     std::string_view iv = kAesIv) {
  if (key.size() != 16 || iv.size() != 16) return std::nullopt;
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  if (!ctx) return std::nullopt;
  if (EVP_CipherInit_ex(ctx.get(), aes128CbcCipher(), nullptr, bytesOf(key), bytesOf(iv),
                        encrypt ? 1 : 0) != 1) {
    return std::nullopt;
  }
  std::string out(input.size() + 16, '\0');
  int written = 0;
  int finalLength = 0;
  auto* buffer = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_CipherUpdate(ctx.get(), buffer, &written, bytesOf(input),
                       static_cast<int>(input.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), buffer + written, &finalLength) != 1) {
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(written + finalLength));
  return out;
}

bool isBase64Char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                bytesOf(bytes), static_cast<int>(bytes.size()));
  out.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '=') {
      // Padding may only close the last group, at most two characters.
      if (i + 2 < text.size()) return std::nullopt;
      ++padding;
    } else if (padding > 0 || !isBase64Char(c)) {
      return std::nullopt;
    }
  }
  if (text.empty()) return std::string{};
  std::string out(3 * (text.size() / 4), '\0');
  int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                bytesOf(text), static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(written) - padding);
  return out;
}

std::string base64UrlEncode(std::string_view bytes) {
  std::string text = base64Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

std::string sha1Base64(std::string_view text) {
  return base64Encode(digest(sha1Digest(), text));
}

std::string md5HexUpper(std::string_view text) {
  std::string hex = hexEncode(digest(EVP_md5(), text));
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return hex;
}

std::string hexEncode(std::string_view bytes) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0f]);
  }
  return out;
}

std::optional<std::string> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = value(text[i]);
    int low = value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::string hmacSha1Base64(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), bytesOf(data),
           data.size(), out, &length) == nullptr) {
    return {};
  }
  return base64Encode(std::string_view(reinterpret_cast<char*>(out), length));
}

std::string randomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (count > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    // Without a working random source no token can be trusted; there is no
    // sensible way to go on serving logins.
    throw std::runtime_error("random source unavailable");
  }
  return out;
}

std::string randomDigits(std::size_t count) {
  // Bytes of 250 and above are drawn again: 256 is no multiple of 10, and
  // taking them would make the digits 0 to 5 likelier than the others.
  std::string out;
  out.reserve(count);
  while (out.size() < count) {
    for (unsigned char c : randomBytes(count - out.size() + 8)) {
      if (c < 250 && out.size() < count) out.push_back(static_cast<char>('0' + c % 10));
    }
  }
  return out;
}

std::int64_t randomPositiveInt64() {
  std::string raw = randomBytes(8);
  std::uint64_t value = 0;
  for (unsigned char c : raw) value = (value << 8) | c;
  value &= 0x7fffffffffffffffULL;
  return value == 0 ? 1 : static_cast<std::int64_t>(value);
}

std::string randomToken(std::size_t byteCount) {
  return base64UrlEncode(randomBytes(byteCount));
}

bool isToken(std::string_view text) {
  return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> requestSignature(
    std::string_view method, std::string_view path,
    const std::map<std::string, std::string>& params, std::string_view security) {
  if (security.empty()) return std::nullopt;
  std::string text;
  auto append = [&text](std::string_view part) {
    if (!text.empty()) text.push_back('&');
    text.append(part);
  };
  if (!method.empty()) {
    std::string upper(method);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    append(upper);
  }
  if (!path.empty()) append(path);
  // std::map orders its keys by byte comparison, which is the order signed.
  for (const auto& [name, value] : params) append(name + "=" + value);
  append(security);
  return sha1Base64(text);
}

std::string clientSign(std::int64_t nonce, std::string_view security) {
  return requestSignature("", "", {{"nonce", std::to_string(nonce)}}, security)
      .value_or(std::string{});
}

std::optional<std::string> aesEncryptBase64(std::string_view plain, std::string_view keyBase64) {
  auto key = base64Decode(keyBase64);
  if (!key) return std::nullopt;
  auto cipher = aes128Cbc(plain, *key, true);
  if (!cipher) return std::nullopt;
  return base64Encode(*cipher);
}

std::optional<std::string> aesDecryptBase64(std::string_view cipherBase64,
                                            std::string_view keyBase64) {
  auto key = base64Decode(keyBase64);
  auto cipher = base64Decode(cipherBase64);
  if (!key || !cipher || cipher->empty()) return std::nullopt;
  return aes128Cbc(*cipher, *key, false);
}

std::optional<std::string> randomIvEncrypt(std::string_view plain, std::string_view keyBase64) {
  auto key = base64Decode(keyBase64);
  if (!key) return std::nullopt;
  std::string iv = randomBytes(16);
  auto cipher = aes128Cbc(plain, *key, true, iv);
  if (!cipher) return std::nullopt;
  std::string ivText = base64Encode(iv);
  std::replace(ivText.begin(), ivText.end(), '+', '-');
  std::replace(ivText.begin(), ivText.end(), '/', '_');
  return std::string(kRandomIvVersion) + ":" + ivText + ":" + base64Encode(*cipher);
}

std::optional<std::string> randomIvDecrypt(std::string_view form, std::string_view keyBase64) {
  std::size_t first = form.find(':');
  std::size_t second = first == std::string_view::npos ? first : form.find(':', first + 1);
  if (second == std::string_view::npos || form.find(':', second + 1) != std::string_view::npos ||
      form.substr(0, first) != kRandomIvVersion) {
    return std::nullopt;
  }
  std::string ivText(form.substr(first + 1, second - first - 1));
  std::replace(ivText.begin(), ivText.end(), '-', '+');
  std::replace(ivText.begin(), ivText.end(), '_', '/');
  while (ivText.size() % 4 != 0) ivText.push_back('=');
  auto iv = base64Decode(ivText);
  auto key = base64Decode(keyBase64);
  auto cipher = base64Decode(form.substr(second + 1));
  if (!iv || !key || !cipher || cipher->empty()) return std::nullopt;
  return aes128Cbc(*cipher, *key, false, *iv);
}

}  // namespace localcloud::crypto
