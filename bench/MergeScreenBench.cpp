// The duplicate-merge screen over 10,000 people in 1,000 groups of
// duplicates: its search (through the contact adapter's queue and the HUD)
// and the layout of every row, next to the contacts store's search alone.
// And the screen as the window shows it, over 297 people in 60 groups: the
// search, the list and the frame painted with the window's renderer and
// text measures, next to the store's search of the same people (the window
// should show the list in under 0.3 s). Pairs are compared on real time; the
// CPU column is the whole process's (the screen searches on the adapter's
// thread), which a busy machine moves less.
#include <benchmark/benchmark.h>

#include <chrono>

#include "platform/ui/Window.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"

#include "ContactsBenchSupport.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/contacts/LMMergeTableViewController.h"

namespace {

namespace ab = platform::addressbook;
using contactsbench::ScratchHome;

constexpr int kPeople = 9000;
constexpr int kTwins = 1000;
constexpr int kWindowPeople = 237;
constexpr int kWindowTwins = 60;

// `people` people and a twin (same name) of every ninth one, `twins` in all.
void fillMergeBook(int people = kPeople, int twins = kTwins) {
  auto book = contactsbench::filledBook(people);
  const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
  for (int i = 0; i < twins; ++i) contactsbench::addPerson(*book, local, i * 9 % people);
  (void)book->save();
}

// Searches on `screen` and pumps the main queue and the adapter's queue,
// the clock jumping past the HUD's fades, until the list is in.
void searchAndWait(lumora::LMMergeTableViewController& screen, platform::ManualClock& clock) {
  auto adapter = lumora::LMContactSyncAdapter::sharedAdapter();
  screen.searchRepeatedContacts();
  while (!screen.mergeContactArray() || lumora::LMProgressHUD::sharedHUD().window()) {
    clock.advance(platform::seconds(0.1));
    platform::MainQueue::main().runUntilIdle();
    adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
    platform::MainQueue::main().runUntilIdle();
  }
}

void BM_MergeScreenSearchAndList(benchmark::State& state) {
  ScratchHome home;
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  fillMergeBook();
  auto adapter = lumora::LMContactSyncAdapter::sharedAdapter();
  std::size_t rows = 0;
  double layoutSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto screen = std::make_shared<lumora::LMMergeTableViewController>();
    screen->loadViewIfNeeded();
    state.ResumeTiming();
    screen->searchRepeatedContacts();
    while (!screen->mergeContactArray()) {
      clock->advance(platform::seconds(0.1));  // the HUD's fade-in
      platform::MainQueue::main().runUntilIdle();
      adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
      platform::MainQueue::main().runUntilIdle();
    }
    // Every row laid out: a table as tall as all of them.
    auto listed = std::chrono::steady_clock::now();
    auto table = screen->tableView();
    double height = 0;
    for (int row = 0; row < table->numberOfRowsInSection(0); ++row) {
      height += *screen->heightForRowAtIndexPath(*table, {0, row});
    }
    table->setFrame({0, 0, 320, height});
    table->layoutIfNeeded();
    rows = table->indexPathsForVisibleRows().size();
    layoutSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - listed).count();
    state.PauseTiming();
    clock->advance(platform::seconds(1));  // the HUD's fade-out
    platform::MainQueue::main().runUntilIdle();
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    table.reset();  // the table and its rows go with the screen, untimed
    screen.reset();
    state.ResumeTiming();
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["layout_ms"] = benchmark::Counter(layoutSeconds * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MergeScreenSearchAndList)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_MergeScreenSearchAndList_Reference(benchmark::State& state) {
  ScratchHome home;
  fillMergeBook();
  // The process as the screen's runs see it, the adapter's worker started:
  // the C library's allocator takes a faster path while a process has one
  // thread only, which the app never has.
  (void)lumora::LMContactSyncAdapter::sharedAdapter();
  std::size_t groups = 0;
  for (auto _ : state) {
    auto book = *ab::AddressBook::create();
    auto found = lumora::LMManagedRecordContext::searchForMergeContacts(
        book.get(), lumora::LMManagedRecordContext::defaultSourceInAddressBook(book.get()));
    groups = found ? found->size() : 0;
  }
  state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_MergeScreenSearchAndList_Reference)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The screen opened in a window as the app's menu opens it, searched, and
// its first frame with the list painted as the window paints it.
void BM_MergeScreenInWindow(benchmark::State& state) {
  ScratchHome home;
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  platform::MainQueue::main().bindToCurrentThread();
  platform::uiqt::ensureGuiApplication();
  platform::ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
  platform::ui::Screen::main().setProfile(*platform::ui::DeviceProfile::named("375x667"));
  fillMergeBook(kWindowPeople, kWindowTwins);
  (void)lumora::LMContactSyncAdapter::sharedAdapter();
  platform::uiqt::Renderer renderer;
  std::size_t groups = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto window = std::make_shared<platform::ui::Window>(platform::ui::Screen::main().bounds());
    auto screen = std::make_shared<lumora::LMMergeTableViewController>();
    window->setRootViewController(platform::ui::NavigationController::withRoot(screen));
    window->makeKeyAndVisible();
    platform::MainQueue::main().runUntilIdle();
    (void)renderer.renderScreen();
    state.ResumeTiming();
    searchAndWait(*screen, *clock);
    benchmark::DoNotOptimize(renderer.renderScreen());
    state.PauseTiming();
    groups = screen->mergeContactArray()->size() - 1;
    window->setHidden(true);
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    platform::MainQueue::main().runUntilIdle();
    state.ResumeTiming();
  }
  platform::ui::TextMeasurer::setCurrent(nullptr);
  state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_MergeScreenInWindow)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_MergeScreenInWindow_Reference(benchmark::State& state) {
  ScratchHome home;
  fillMergeBook(kWindowPeople, kWindowTwins);
  (void)lumora::LMContactSyncAdapter::sharedAdapter();
  for (auto _ : state) {
    auto book = *ab::AddressBook::create();
    benchmark::DoNotOptimize(lumora::LMManagedRecordContext::searchForMergeContacts(
        book.get(), lumora::LMManagedRecordContext::defaultSourceInAddressBook(book.get())));
  }
}
BENCHMARK(BM_MergeScreenInWindow_Reference)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
