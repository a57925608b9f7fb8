// Throughput of the local cloud over loopback: clients replay one fixed
// signed request (the relocation record POST: token look-up, signature,
// AES of the parameters and of the reply, one read of the store), each on
// its own kept-alive libcurl connection, 1 client against 8. The 8-client
// run reports its rate as a multiple of the 1-client rate ("x1client").
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

#include "SignedCloudBenchSupport.h"

namespace {

using benchcloud::RawHandle;

benchcloud::SignedCloud& cloud() {
  static benchcloud::SignedCloud instance("lumora-cloud-bench");
  return instance;
}

std::atomic<double> oneClientRate{0};

void BM_ReplaySignedRequest(benchmark::State& state) {
  auto& target = cloud();
  RawHandle handle(target.url(), &target.body(), &target.cookie());

  std::chrono::steady_clock::time_point start;
  bool first = true;
  for (auto _ : state) {
    if (first) {
      start = std::chrono::steady_clock::now();
      first = false;
    }
    if (!handle.perform()) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Every thread runs the same number of iterations, and all have ended
  // when the first one leaves the loop.
  if (state.thread_index() == 0 && seconds > 0) {
    double rate = static_cast<double>(state.iterations()) * state.threads() / seconds;
    state.counters["req/s"] = rate;
    if (state.threads() == 1) {
      oneClientRate = rate;
    } else if (oneClientRate > 0) {
      state.counters["x1client"] = rate / oneClientRate;
    }
  }
}
BENCHMARK(BM_ReplaySignedRequest)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);

}  // namespace
