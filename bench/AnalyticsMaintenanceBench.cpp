// The analytics housekeeping of a launch that finds many waiting fragments
// (one per earlier session, as a run of crashed launches leaves them): one
// whole maintenance chain (package every closed fragment, upload each one to
// a client that takes it at once, prune, sweep) over 2,000 and 20,000
// fragments, next to the raw listing of the same folder (what one pass must
// at least read) in the same run. The tree is made afresh, untimed, before
// every chain.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "harbor/BBXUserDefaults.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "harbor/analytics/BBXEventLogSessionRepository.h"

namespace {

namespace fs = std::filesystem;

class MaintenanceBenchUploads : public lumora::BBXAnalyticsNetworkingClient {
 public:
  void transmitLogFilesAtURLs(const std::vector<fs::path>&, const std::string&, const std::string&,
                              Completion completion) override {
    completion(platform::Status::success());
  }
};

struct MaintenanceBenchSetup {
  fs::path root;
  fs::path analytics;

  MaintenanceBenchSetup() {
    std::string pattern = (fs::temp_directory_path() / "lumora-analytics-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    analytics = root / "analytics";
  }
  ~MaintenanceBenchSetup() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // `count` closed fragments, each in a session of its own, each with one
  // record file.
  void makeFragments(std::int64_t count) const {
    std::error_code ec;
    fs::remove_all(analytics, ec);
    lumora::BBXEventLogSessionRepository repository(analytics);
    for (std::int64_t i = 0; i < count; ++i) {
      auto file = repository.eventLogFileURLForStateName(lumora::kBBXEventLogActiveStateName,
                                                         "launch" + std::to_string(i), 1000 + i, "crash", 2000 + i, 1);
      if (file) std::ofstream(*file) << "1000\tapp_crashed\n";
    }
  }
};

void BM_AnalyticsMaintenance(benchmark::State& state) {
  MaintenanceBenchSetup setup;
  lumora::BBXUserDefaults defaults(setup.root / "defaults");
  lumora::Harbor harbor(&defaults);
  harbor.setAPIKey("bench");
  for (auto _ : state) {
    state.PauseTiming();
    setup.makeFragments(state.range(0));
    lumora::BBXAnalyticsController::Collaborators collaborators;
    collaborators.harbor = &harbor;
    collaborators.defaults = &defaults;
    collaborators.networkingClient = std::make_shared<MaintenanceBenchUploads>();
    auto controller = lumora::BBXAnalyticsController::make("bench", setup.analytics, std::nullopt, collaborators);
    controller->setSettings(platform::Json{
        {"features", {{"collect_analytics", true}}},
        {"analytics", {{"url", "http://127.0.0.1:1/analytics"}, {"max_pending_send_file_count", 100}}}});
    controller->sessionMaintenanceQueue().sync([] {});
    state.ResumeTiming();

    std::promise<void> done;
    controller->maintainSessionFragments([&done](const platform::Status&) { done.set_value(); });
    done.get_future().wait();

    state.PauseTiming();
    auto left = controller->logSessionRepository().logFileURLsForAllStates();
    if (!left || left->size() > 3) state.SkipWithError("fragments left behind");
    controller.reset();
    state.ResumeTiming();
  }
  state.counters["fragments_per_s"] =
      benchmark::Counter(static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AnalyticsMaintenance)->Arg(2000)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AnalyticsMaintenance_Reference(benchmark::State& state) {
  MaintenanceBenchSetup setup;
  setup.makeFragments(state.range(0));
  const fs::path sessions = setup.analytics / "v1" / lumora::kBBXEventLogActiveStateName;
  for (auto _ : state) {
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(sessions)) {
      benchmark::DoNotOptimize(entry);
      ++entries;
    }
    if (entries != static_cast<std::size_t>(state.range(0))) state.SkipWithError("wrong listing");
  }
}
BENCHMARK(BM_AnalyticsMaintenance_Reference)
    ->Arg(2000)
    ->Arg(20000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
