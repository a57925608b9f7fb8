// The contact sync engine against the local cloud over loopback: the first
// sync of 5,000 cloud contacts into an empty address book, and a sync of the
// same 5,000 when nothing changed (load of the changes and the full run).
// The minimum time of batch sends goes through a manual clock: it passes at
// once and is reported apart as "min_call_s" (the time it would add).
// The first sync started from the contacts page's button (its estimate, its
// progress screen on the main queue, pumped here like the app's loop, and
// the end sequence up to the result alert) runs next to the same first sync
// by the adapter alone, its reference: the page should add 10% or less.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "ContactsBenchSupport.h"
#include "LocalCloudBenchSupport.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Window.h"
#include "screens/contacts/LMRootViewController.h"
#include "server/CloudServer.h"
#include "server/storage/ContactStore.h"
#include "utils/ServiceHosts.h"

namespace {

constexpr std::int64_t kUserId = 9101;
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
constexpr int kContacts = 5000;

// One local cloud for the whole run, with the user's 5,000 contacts.
class Cloud {
 public:
  Cloud() {
    std::vector<localcloud::ContactOperation> adds;
    for (int i = 0; i < kContacts; ++i) {
      localcloud::ContactOperation add;
      add.type = "contact";
      const std::string given = "Given" + std::to_string(i);
      const std::string family = "Family" + std::to_string(i % 997);
      add.content = {{"displayName", given + " " + family},
                     {"name", {{"givenName", given}, {"familyName", family}}},
                     {"phoneNumbers", {{{"type", "mobile"}, {"value", "+1 555 " + std::to_string(1000000 + i)}}}},
                     {"emails", {{{"type", "home"}, {"value", "person" + std::to_string(i) + "@example.org"}}}}};
      adds.push_back(std::move(add));
    }
    cloud_.server().contacts().apply(kUserId, adds);
    token_ = cloud_.serviceToken(kUserId, kKey);
    lumora::ServiceHosts::setAll(cloud_.server().url());
  }

  // Signs the current app home in as the user.
  void signIn() const {
    auto manager = lumora::QBPassportsManager::sharedManager();
    manager->setUserId(std::to_string(kUserId));
    auto passport = manager->passportForSid("lumora", std::to_string(kUserId));
    passport->setServiceToken(token_);
    passport->setSSecurity(kKey);
  }

 private:
  cloudbench::BenchCloud cloud_;
  std::string token_;
};

Cloud& cloud() {
  static Cloud instance;
  return instance;
}

// One load and full run; aborts on failure (a benchmark of a failing sync
// measures nothing).
void syncOnce(lumora::LMContactSyncAdapter& adapter) {
  bool loaded = true;
  adapter.loadLumoraChangedRecords([] {}, [&](const platform::Error& error) {
    std::cerr << "load failed: " << error.description() << "\n";
    loaded = false;
  });
  if (!loaded) std::abort();
  adapter.synchronizeAllRecords();
}

struct SyncScene {
  contactsbench::ScratchHome home;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  std::shared_ptr<lumora::LMContactSyncAdapter> adapter;

  SyncScene() {
    clock->setAutoAdvanceSleeps(true);
    cloud().signIn();
    adapter = std::make_shared<lumora::LMContactSyncAdapter>();
    adapter->setHostList(std::nullopt);
  }
};

void BM_ContactSyncFirst(benchmark::State& state) {
  double minimumCalls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    {
      SyncScene scene;
      state.ResumeTiming();
      syncOnce(*scene.adapter);
      state.PauseTiming();
      minimumCalls = std::chrono::duration<double>(scene.clock->sleptTotal()).count();
      if (contactsbench::ab::AddressBook::create().value()->personCount() != kContacts) std::abort();
    }
    state.ResumeTiming();
  }
  state.counters["min_call_s"] = minimumCalls;
}
BENCHMARK(BM_ContactSyncFirst)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ContactSyncNoChange(benchmark::State& state) {
  SyncScene scene;
  syncOnce(*scene.adapter);
  const auto before = scene.clock->sleptTotal();
  for (auto _ : state) syncOnce(*scene.adapter);
  state.counters["min_call_s"] = std::chrono::duration<double>(scene.clock->sleptTotal() - before).count();
}
BENCHMARK(BM_ContactSyncNoChange)->Unit(benchmark::kMillisecond)->UseRealTime();

// Presses the page's button and runs the main queue like the app's loop
// until the result alert shows. The clock stands still while the adapter's
// tasks run (the minimum time between batch sends is not waited for, as in
// the reference); once the cloud work is over it jumps to the next timer
// (the progress screen's pulse and end sequence).
void syncFromPage(lumora::LMRootViewController& page, platform::ManualClock& clock) {
  auto& main = platform::MainQueue::main();
  auto adapter = lumora::LMRootViewController::adapter();
  const auto busy = [&] { return adapter->isSyncing() || adapter->taskOperationQueue().operationCount() > 0; };
  const auto shown = [] { return !platform::ui::AlertView::visibleAlerts().empty(); };
  if (!page.syncButton()->tap()) std::abort();
  while (true) {
    main.runUntilIdle();
    if (shown()) break;
    if (busy()) {
      main.runUntil([&] { return shown() || !busy(); }, std::chrono::seconds(60));
      continue;
    }
    const auto next = main.nextDueTime();
    if (!next) {
      std::cerr << "the page's sync stopped without a result\n";
      std::abort();
    }
    if (*next > clock.steadyNow()) clock.advance(*next - clock.steadyNow());
  }
}

// The shared adapter (the page's) on the scene's store, released afterwards.
struct PageSyncScene : SyncScene {
  std::shared_ptr<lumora::LMContactSyncAdapter> shared = lumora::LMRootViewController::adapter();
  PageSyncScene() {
    shared->setHostList(std::nullopt);
    shared->setContext(std::make_shared<lumora::LMManagedRecordContext>());
  }
  ~PageSyncScene() {
    shared->taskOperationQueue().waitUntilAllOperationsAreFinished();
    platform::MainQueue::main().runUntilIdle();
    platform::ui::AlertView::resetForTesting();
    shared->setDelegate(nullptr);
    shared->setContext(nullptr);
  }
  void expectAllPeople() const {
    const auto people = contactsbench::ab::AddressBook::create().value()->personCount();
    if (people != kContacts) {
      std::cerr << "the sync brought " << people << " of " << kContacts << " people\n";
      std::abort();
    }
  }
};

void BM_ContactSyncFromPage(benchmark::State& state) {
  platform::MainQueue::main().bindToCurrentThread();
  platform::ui::Screen::main().setProfile(*platform::ui::DeviceProfile::named("375x667"));
  for (auto _ : state) {
    state.PauseTiming();
    {
      PageSyncScene scene;
      auto page = std::make_shared<lumora::LMRootViewController>();
      page->loadViewIfNeeded();
      platform::MainQueue::main().runUntilIdle();
      scene.shared->taskOperationQueue().waitUntilAllOperationsAreFinished();
      state.ResumeTiming();
      syncFromPage(*page, *scene.clock);
      state.PauseTiming();
      scene.expectAllPeople();
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ContactSyncFromPage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ContactSyncFromPage_Reference(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    {
      PageSyncScene scene;
      state.ResumeTiming();
      syncOnce(*scene.shared);
      state.PauseTiming();
      scene.expectAllPeople();
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ContactSyncFromPage_Reference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
