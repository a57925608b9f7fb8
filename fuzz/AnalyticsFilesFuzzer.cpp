// The analytics records a launch finds on disk from earlier runs: the input
// lays out a tree of states, sessions, fragments (some half packaged) and
// files (log files, packaged ones, debris, directories where files belong)
// with their bytes, and a launch's controller, with settings that may bound
// the files waiting, runs its maintenance over it: a new fragment, the
// closed ones packaged, each uploaded (the upload reads the files; the
// input says which uploads the service takes), pruning and the repair
// sweep; a second maintenance runs over what the first left. One
// controller serves every input, as one launch whose tree is laid out anew
// each time.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "harbor/BBXUserDefaults.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/storage/AppHome.h"
#include "support/Fuzz.h"

namespace {

namespace fs = std::filesystem;

class CountingIdentifiers : public lumora::BBXAnalyticsIdentifierGenerator {
 public:
  std::string generateSessionFragmentIdentifier() override { return "F" + std::to_string(++next_); }
  std::string generateEventIdentifier() override { return "E" + std::to_string(++next_); }

 private:
  std::atomic<int> next_{0};
};

// Reads what it is asked to send, as the real client does, and answers as
// the input says.
class ScriptedUploads : public lumora::BBXAnalyticsNetworkingClient {
 public:
  void transmitLogFilesAtURLs(const std::vector<fs::path>& files, const std::string& url, const std::string& apiKey,
                              Completion completion) override {
    (void)requestForLogFilesAtURLs(files, url, apiKey);
    const bool taken = (accepted >> (sent++ % 16)) & 1;
    completion(taken ? platform::Status::success() : platform::Status(platform::Error("fuzz", 500)));
  }
  std::atomic<std::uint16_t> accepted{0};
  std::atomic<unsigned> sent{0};
};

// One path component: a name the layout uses, or the input's own.
std::string component(FuzzedDataProvider& input, const std::vector<std::string>& usual) {
  if (input.ConsumeBool()) return usual[input.ConsumeIntegralInRange<std::size_t>(0, usual.size() - 1)];
  std::string name = input.ConsumeRandomLengthString(24);
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  return name.empty() || name == "." || name == ".." ? "x" : name;
}

void layOut(FuzzedDataProvider& input, const fs::path& root) {
  const int entries = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < entries; ++i) {
    fs::path path = root / component(input, {"v1"}) / component(input, {"ACTIVE", "PACKAGED"}) /
                    component(input, {"1000_S1", "2000_S2"}) /
                    component(input, {"1_F1", "2_F2", "3_F3.prep", "4_F4"});
    const std::string leaf = component(input, {"0.log", "1.log", "2.log", "0.log.zip", "2.log.zip", "x"});
    const bool directory = input.ConsumeIntegralInRange(0, 7) == 0;
    const std::string bytes = input.ConsumeRandomLengthString(2048);
    std::error_code ec;
    fs::create_directories(path, ec);
    if (directory) {
      fs::create_directories(path / leaf, ec);
    } else {
      std::ofstream(path / leaf, std::ios::binary | std::ios::trunc) << bytes;
    }
  }
}

void maintain(lumora::BBXAnalyticsController& controller) {
  platform::Semaphore done(0);
  controller.maintainSessionFragments([&](const platform::Status&) { done.signal(); });
  done.wait();
}

// One launch's controller serves every input (making one starts threads
// and reads the platform's defaults, which would dominate each run); each
// input lays out its own tree under its root before maintenance runs.
struct Launch {
  fs::path scratch = fuzz::scratchDirectory("analytics");
  std::shared_ptr<ScriptedUploads> uploads = std::make_shared<ScriptedUploads>();
  std::unique_ptr<lumora::BBXUserDefaults> defaults;
  std::unique_ptr<lumora::Harbor> harbor;
  std::shared_ptr<lumora::BBXAnalyticsController> controller;

  Launch() {
    platform::AppHome::setRoot(scratch / "home");
    platform::Clock::setCurrent(std::make_shared<platform::ManualClock>());
    defaults = std::make_unique<lumora::BBXUserDefaults>(scratch / "defaults");
    harbor = std::make_unique<lumora::Harbor>(defaults.get());
    harbor->setAPIKey("key-1");
    lumora::BBXAnalyticsController::Collaborators collaborators;
    collaborators.harbor = harbor.get();
    collaborators.defaults = defaults.get();
    collaborators.identifierGenerator = std::make_shared<CountingIdentifiers>();
    collaborators.networkingClient = uploads;
    controller = lumora::BBXAnalyticsController::make("session-1", root(), std::nullopt, collaborators);
    if (!controller) std::abort();
  }
  fs::path root() const { return scratch / "analytics"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Launch launch;
  std::error_code ec;
  fs::remove_all(launch.root(), ec);

  FuzzedDataProvider input(data, size);
  launch.uploads->accepted = input.ConsumeIntegral<std::uint16_t>();
  launch.uploads->sent = 0;
  platform::Json analytics = {{"url", "http://127.0.0.1:1/analytics"}};
  if (input.ConsumeBool()) analytics["max_pending_send_file_count"] = input.ConsumeIntegralInRange(0, 8);
  layOut(input, launch.root());

  auto& controller = *launch.controller;
  controller.setSettings(platform::Json{{"features", {{"collect_analytics", true}}}, {"analytics", analytics}});
  maintain(controller);
  maintain(controller);
  for (std::size_t p = 0; p < 3; ++p) controller.priorityEventLoggingQueue(p).sync([] {});
  controller.sessionMaintenanceQueue().sync([] {});
  return 0;
}
