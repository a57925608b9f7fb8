// Throughput of the cloud encodings on block-sized inputs: AES of one 4 MiB
// upload block under a 16-byte key and SHA-1 of a 16 MiB file.
#include <benchmark/benchmark.h>

#include "utils/AESCrypt.h"
#include "utils/SHA1.h"

namespace {

void BM_AESEncrypt4MiB(benchmark::State& state) {
  const platform::Bytes block(4 * 1024 * 1024, 0x5A);
  const platform::Bytes key = platform::toBytes("0123456789abcdef");
  for (auto _ : state) {
    auto cipher = lumora::encryptAESWithKey(block, key);
    benchmark::DoNotOptimize(cipher);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(block.size()));
}
BENCHMARK(BM_AESEncrypt4MiB)->Unit(benchmark::kMillisecond);

void BM_SHA1Of16MiB(benchmark::State& state) {
  const platform::Bytes file(16 * 1024 * 1024, 0xA5);
  for (auto _ : state) {
    auto digest = lumora::sha1String(file);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_SHA1Of16MiB)->Unit(benchmark::kMillisecond);

}  // namespace
