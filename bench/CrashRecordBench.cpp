// The time from a crash to its finished record: a forked child starts crash
// capture over a report folder of its own, takes the time and dereferences
// null; the app's own SIGSEGV handler, installed before capture, runs once
// the capture's record is written (the chain hands the signal on after its
// handlers) and sends the time back. The reference crashes the same way
// without capture: the cost of the signal's delivery alone. Only the span
// from the crash to the earlier handler is timed (manual time).
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXHost.h"

namespace {

int gCrashBenchPipe = -1;

std::uint64_t crashBenchNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void crashBenchEarlierHandler(int, siginfo_t*, void*) {
  const std::uint64_t at = crashBenchNow();
  if (write(gCrashBenchPipe, &at, sizeof at) != sizeof at) _exit(3);
  _exit(0);
}

[[noreturn]] void crashBenchChild(const std::string& reportDir, bool capture) {
  struct sigaction earlier {};
  earlier.sa_sigaction = crashBenchEarlierHandler;
  earlier.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &earlier, nullptr);
  if (capture) {
    lumora::BBXCaptureHooks hooks = lumora::BBXProcessCaptureHooks();
    hooks.debuggerAttached = {};
    lumora::BBXContextSetCaptureHooks(hooks);
    lumora::BBXContextInitData data;
    data.reportPath = reportDir;
    data.reportIdentifier = "bench";
    lumora::BBXContextInitialize(&data);
    lumora::BBXContextWaitForStartupForTesting();
  }
  const std::uint64_t at = crashBenchNow();
  if (write(gCrashBenchPipe, &at, sizeof at) != sizeof at) _exit(4);
  volatile std::uintptr_t null = 0;
  *reinterpret_cast<volatile int*>(null) = 1;
  _exit(5);
}

void crashToRecord(benchmark::State& state, bool capture) {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumora-crash-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return state.SkipWithError("no scratch folder");
  int run = 0;
  for (auto _ : state) {
    const std::string dir = pattern + "/" + std::to_string(run++);
    std::filesystem::create_directories(dir);
    int ends[2];
    if (pipe(ends) != 0) return state.SkipWithError("no pipe");
    const pid_t child = fork();
    if (child == 0) {
      close(ends[0]);
      gCrashBenchPipe = ends[1];
      crashBenchChild(dir, capture);
    }
    close(ends[1]);
    std::uint64_t times[2] = {0, 0};
    const bool read = ::read(ends[0], &times[0], sizeof times[0]) == sizeof times[0] &&
                      ::read(ends[0], &times[1], sizeof times[1]) == sizeof times[1];
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("the child did not crash");
    state.SetIterationTime(static_cast<double>(times[1] - times[0]) / 1e9);
    std::filesystem::remove_all(dir);
  }
  std::filesystem::remove_all(pattern);
}

void BM_CrashToFinishedRecord(benchmark::State& state) { crashToRecord(state, true); }
void BM_CrashToFinishedRecord_Reference(benchmark::State& state) { crashToRecord(state, false); }

BENCHMARK(BM_CrashToFinishedRecord)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CrashToFinishedRecord_Reference)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

}  // namespace
