// main() of every benchmark binary under bench/: Google Benchmark with
// defaults for fair comparisons (5 repetitions in random interleaved order,
// medians reported) and a closing table that sets each benchmark against its
// reference: "BM_X..." is paired with "BM_X_Reference..." (same arguments
// and thread count), and the ratio printed is reference time / our time
// (median; CPU time, or real time for benchmarks measured in real time), so
// 1.0 means as fast as the reference and 0.5 means half its speed. A
// benchmark that times itself against its reference within one loop reports
// that ratio as its counter "speed_ratio", which the table prints too.
//
// Any --benchmark_* flag given on the command line replaces the default of
// the same name.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kReferenceSuffix = "_Reference";
constexpr const char* kRatioCounter = "speed_ratio";

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!median && !single) continue;
      std::string name = run.run_name.function_name;
      const bool reference = name.size() > kReferenceSuffix.size() && name.ends_with(kReferenceSuffix);
      if (reference) name.resize(name.size() - kReferenceSuffix.size());
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      if (!run.run_name.threads.empty()) name += "/" + run.run_name.threads;
      if (auto ratio = run.counters.find(kRatioCounter); ratio != run.counters.end()) {
        measuredRatios_[name] = ratio->second.value;
        continue;
      }
      const bool realTime = !run.run_name.time_type.empty();
      (reference ? references_ : ours_)[name] =
          realTime ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::map<std::string, double> ratios = measuredRatios_;
    for (const auto& [name, ours] : ours_) {
      auto ref = references_.find(name);
      if (ref != references_.end() && ours > 0) ratios[name] = ref->second / ours;
    }
    if (!ratios.empty()) std::printf("\n%-48s %s\n", "benchmark (against its _Reference)", "speed ratio");
    for (const auto& [name, ratio] : ratios) std::printf("%-48s %.2f\n", name.c_str(), ratio);
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> ours_;
  std::map<std::string, double> references_;
  std::map<std::string, double> measuredRatios_;  // "speed_ratio" counters
};

bool hasFlag(int argc, char** argv, std::string_view flag) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.starts_with(flag) && (arg.size() == flag.size() || arg[flag.size()] == '=')) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<std::pair<std::string_view, std::string>> kDefaults = {
      {"--benchmark_repetitions", "--benchmark_repetitions=5"},
      {"--benchmark_enable_random_interleaving", "--benchmark_enable_random_interleaving=true"},
      {"--benchmark_report_aggregates_only", "--benchmark_report_aggregates_only=true"},
      {"--benchmark_min_time", "--benchmark_min_time=0.2"},
  };
  std::vector<std::string> storage;
  for (const auto& [flag, value] : kDefaults) {
    if (!hasFlag(argc, argv, flag)) storage.push_back(value);
  }
  std::vector<char*> args(argv, argv + argc);
  for (std::string& value : storage) args.push_back(value.data());
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);

  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
