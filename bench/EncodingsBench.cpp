// The cloud encodings against the libraries they stand on, each measured next
// to a reference doing the same work on the same bytes: the AES text forms
// against EVP AES + EVP_EncodeBlock, Base64 against EVP_EncodeBlock /
// EVP_DecodeBlock, the CRC against zlib, block AES and SHA-1 against EVP.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "account/KPAESCrypt.h"
#include "utils/AESCrypt.h"
#include "utils/CRC32.h"
#include "utils/LMAESCoder.h"
#include "utils/SHA1.h"

namespace {

const platform::Bytes kKey = platform::toBytes("0123456789abcdef");
const std::string kKeyText = lumora::base64Encoding(kKey);
const platform::Bytes kIV = platform::toBytes(lumora::kFixedAESIV);

// Printable text of `size` bytes, the shape of a request parameter.
std::string textOf(std::int64_t size) {
  std::string text;
  while (static_cast<std::int64_t>(text.size()) < size) text += "{\"name\":\"Ada\",\"phone\":\"+4412345\"},";
  text.resize(static_cast<std::size_t>(size));
  return text;
}

platform::Bytes bytesOf(std::int64_t size) {
  platform::Bytes bytes(static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return bytes;
}

// Runs work(input) once per iteration and counts state.range(0) bytes each.
template <class Input, class Work>
void measure(benchmark::State& state, const Input& input, Work work) {
  for (auto _ : state) benchmark::DoNotOptimize(work(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

const std::uint8_t* bytesIn(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Reference AES: EVP AES-128-CBC (cipher fetched once) into a fresh,
// uninitialised buffer.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> data;
  int size = 0;
};

Buffer evpAES(bool encrypt, const std::uint8_t* in, std::size_t size, const std::uint8_t* iv) {
  Buffer out{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size + 16]), 0};
  static EVP_CIPHER* const aes = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex2(ctx, aes, kKey.data(), iv, encrypt ? 1 : 0, nullptr);
  int n = 0;
  EVP_CipherUpdate(ctx, out.data.get(), &n, in, static_cast<int>(size));
  int last = 0;
  EVP_CipherFinal_ex(ctx, out.data.get() + n, &last);
  EVP_CIPHER_CTX_free(ctx);
  out.size = n + last;
  return out;
}

std::string evpBase64(const std::uint8_t* in, std::size_t size) {
  std::string text(4 * ((size + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), in, static_cast<int>(size));
  return text;
}

Buffer evpUnbase64(const std::string& text) {
  Buffer out{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[text.size() / 4 * 3 + 3]), 0};
  out.size = EVP_DecodeBlock(out.data.get(), reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<int>(text.size()));
  return out;
}

// --- AES text forms ---------------------------------------------------------

// A short parameter, a contact's JSON and a large body.
#define TEXT_SIZES(b) b->Arg(64)->Arg(4096)->Arg(1 << 20)

const lumora::LMAESCoder kCoder(kKeyText);

std::string evpTextEncrypt(const std::string& text) {
  Buffer cipher = evpAES(true, bytesIn(text), text.size(), kIV.data());
  return evpBase64(cipher.data.get(), static_cast<std::size_t>(cipher.size));
}

std::string evpTextDecrypt(const std::string& base64) {
  // EVP_DecodeBlock keeps the padding's zero bytes; the cipher text is the
  // whole blocks in front of them.
  Buffer bytes = evpUnbase64(base64);
  const std::size_t whole = static_cast<std::size_t>(bytes.size) / 16 * 16;
  Buffer plain = evpAES(false, bytes.data.get(), whole, kIV.data());
  return std::string(reinterpret_cast<char*>(plain.data.get()), static_cast<std::size_t>(plain.size));
}

void BM_AESTextEncrypt(benchmark::State& state) {
  measure(state, textOf(state.range(0)), [](const std::string& text) { return kCoder.encryptString(text); });
}
void BM_AESTextEncrypt_Reference(benchmark::State& state) {
  measure(state, textOf(state.range(0)), evpTextEncrypt);
}
TEXT_SIZES(BENCHMARK(BM_AESTextEncrypt));
TEXT_SIZES(BENCHMARK(BM_AESTextEncrypt_Reference));

void BM_AESTextDecrypt(benchmark::State& state) {
  measure(state, *kCoder.encryptString(textOf(state.range(0))),
          [](const std::string& cipher) { return kCoder.decryptString(cipher); });
}
void BM_AESTextDecrypt_Reference(benchmark::State& state) {
  measure(state, *kCoder.encryptString(textOf(state.range(0))), evpTextDecrypt);
}
TEXT_SIZES(BENCHMARK(BM_AESTextDecrypt));
TEXT_SIZES(BENCHMARK(BM_AESTextDecrypt_Reference));

// The random-vector form of CA request bodies. Encryption against plain AES
// of the same text (EVP AES-CBC, bytes out, no Base64); decryption, whose
// input is Base64, against the same reference as the text forms.
void BM_AESRandomIVEncrypt(benchmark::State& state) {
  measure(state, textOf(state.range(0)),
          [](const std::string& text) { return lumora::AES128RandomIVEncryptWithKey(text, kKeyText); });
}
void BM_AESRandomIVEncrypt_Reference(benchmark::State& state) {
  measure(state, textOf(state.range(0)),
          [](const std::string& text) { return evpAES(true, bytesIn(text), text.size(), kIV.data()); });
}
TEXT_SIZES(BENCHMARK(BM_AESRandomIVEncrypt));
TEXT_SIZES(BENCHMARK(BM_AESRandomIVEncrypt_Reference));

void BM_AESRandomIVDecrypt(benchmark::State& state) {
  measure(state, *lumora::AES128RandomIVEncryptWithKey(textOf(state.range(0)), kKeyText),
          [](const std::string& form) { return lumora::AES128RandomIVDecryptWithKey(form, kKeyText); });
}
TEXT_SIZES(BENCHMARK(BM_AESRandomIVDecrypt));
TEXT_SIZES(BENCHMARK(BM_AESTextDecrypt_Reference)->Name("BM_AESRandomIVDecrypt_Reference"));

// --- Base64 and CRC ---------------------------------------------------------

void BM_Base64Encode(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)), lumora::base64Encoding);
}
void BM_Base64Encode_Reference(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)),
          [](const platform::Bytes& data) { return evpBase64(data.data(), data.size()); });
}
BENCHMARK(BM_Base64Encode)->Arg(64 * 1024);
BENCHMARK(BM_Base64Encode_Reference)->Arg(64 * 1024);

void BM_Base64Decode(benchmark::State& state) {
  measure(state, lumora::base64Encoding(bytesOf(state.range(0))), lumora::dataWithBase64EncodedString);
}
void BM_Base64Decode_Reference(benchmark::State& state) {
  measure(state, lumora::base64Encoding(bytesOf(state.range(0))), evpUnbase64);
}
BENCHMARK(BM_Base64Decode)->Arg(64 * 1024);
BENCHMARK(BM_Base64Decode_Reference)->Arg(64 * 1024);

void BM_CRC32(benchmark::State& state) { measure(state, bytesOf(state.range(0)), lumora::crc32); }
void BM_CRC32_Reference(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)), [](const platform::Bytes& data) {
    return ::crc32(0L, data.data(), static_cast<uInt>(data.size()));
  });
}
BENCHMARK(BM_CRC32)->Arg(1024 * 1024);
BENCHMARK(BM_CRC32_Reference)->Arg(1024 * 1024);

// --- Block AES and digests --------------------------------------------------

void BM_AESEncryptBlock(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)),
          [](const platform::Bytes& block) { return lumora::encryptAESWithKey(block, kKey); });
}
void BM_AESEncryptBlock_Reference(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)),
          [](const platform::Bytes& block) { return evpAES(true, block.data(), block.size(), kIV.data()); });
}
BENCHMARK(BM_AESEncryptBlock)->Arg(4 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AESEncryptBlock_Reference)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

void BM_AESDecryptBlock(benchmark::State& state) {
  measure(state, *lumora::encryptAESWithKey(bytesOf(state.range(0)), kKey),
          [](const platform::Bytes& cipher) { return lumora::decryptAESWithKey(cipher, kKey); });
}
void BM_AESDecryptBlock_Reference(benchmark::State& state) {
  measure(state, *lumora::encryptAESWithKey(bytesOf(state.range(0)), kKey),
          [](const platform::Bytes& cipher) { return evpAES(false, cipher.data(), cipher.size(), kIV.data()); });
}
BENCHMARK(BM_AESDecryptBlock)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AESDecryptBlock_Reference)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_SHA1(benchmark::State& state) { measure(state, bytesOf(state.range(0)), lumora::sha1String); }
void BM_SHA1_Reference(benchmark::State& state) {
  measure(state, bytesOf(state.range(0)), [](const platform::Bytes& file) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(file.data(), file.size(), digest, &length, EVP_sha1(), nullptr);
    return platform::hexString(digest, length);
  });
}
BENCHMARK(BM_SHA1)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SHA1_Reference)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
