#include "platform/Random.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <random>

#include "platform/ExitSafety.h"

namespace platform {
namespace {

// Small requests (cipher vectors, nonces, boundaries) are served from a
// per-thread pool filled from OpenSSL's generator a few kilobytes at a time:
// one generator call costs about as much as encrypting a short text. The
// pool is dropped in a forked child, which must never hand out its parent's
// bytes again.
constexpr std::size_t kPoolSize = 4096;
constexpr std::size_t kPooledRequest = 64;

std::atomic<unsigned> forkGeneration{0};

void afterFork() { forkGeneration.fetch_add(1, std::memory_order_relaxed); }

struct Pool {
  std::uint8_t bytes[kPoolSize];
  std::size_t left = 0;
  unsigned generation = 0;
};

bool generate(std::uint8_t* out, std::size_t count) {
  keepCryptoThroughExit();
  return count <= INT_MAX && RAND_bytes(out, static_cast<int>(count)) == 1;
}

void fromDevice(std::uint8_t* out, std::size_t count) {
  // OpenSSL's generator failing to seed is next to impossible; the system's
  // random device is still a secure source on Linux.
  std::random_device device;
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(device());
}

}  // namespace

Bytes randomBytes(std::size_t count) {
  Bytes bytes(count);
  if (count == 0) return bytes;
  static const bool forkSafe = pthread_atfork(nullptr, nullptr, afterFork) == 0;
  if (count > kPooledRequest || !forkSafe) {
    if (!generate(bytes.data(), count)) fromDevice(bytes.data(), count);
    return bytes;
  }
  thread_local Pool pool;
  const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
  if (pool.generation != generation) {
    OPENSSL_cleanse(pool.bytes, sizeof pool.bytes);
    pool.left = 0;
    pool.generation = generation;
  }
  if (pool.left < count) {
    if (!generate(pool.bytes, kPoolSize)) {
      fromDevice(bytes.data(), count);
      return bytes;
    }
    pool.left = kPoolSize;
  }
  // Hand out the bytes from the end and wipe them, so nothing handed out
  // stays behind in the pool.
  pool.left -= count;
  std::memcpy(bytes.data(), pool.bytes + pool.left, count);
  OPENSSL_cleanse(pool.bytes + pool.left, count);
  return bytes;
}

std::string randomUUIDString() {
  Bytes b = randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string hex = upperCased(hexString(b));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
         "-" + hex.substr(20);
}

}  // namespace platform
