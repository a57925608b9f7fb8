// The window's input and panel as a user meets them: a double click is one
// double tap however slowly a loaded machine delivers its clicks while
// workers sleep the clock on; the panel tells its switches' states in the
// app's language, the device row following a turn even when the page stays
// upright.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/WindowPanel.h"
#include "e2e/E2EHarness.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/Resources.h"

namespace e2e {
namespace {

// Two clicks within the double-tap interval on the clock are a double tap,
// two further apart are two taps, whatever a worker sleeping the clock on
// adds while the events are delivered.
TEST(WindowInputE2ETest, ADoubleClickWithinTheIntervalIsADoubleTapASlowerOneTwoTapsWhileWorkersSleep) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto screen = std::make_shared<ui::ViewController>();
  auto doubleTap = std::make_shared<ui::TapGestureRecognizer>([](ui::GestureRecognizer&) {});
  doubleTap->setNumberOfTapsRequired(2);
  auto singleTap = std::make_shared<ui::TapGestureRecognizer>([](ui::GestureRecognizer&) {});
  screen->view()->addGestureRecognizer(doubleTap);
  screen->view()->addGestureRecognizer(singleTap);
  harness.showScreen(screen);
  // A worker that sleeps in short steps, as a loader waiting out its pace
  // does: every step moves the clock on.
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) harness.clock().sleepFor(platform::seconds(0.05));
  });
  constexpr int kDoubleClicks = 10;
  const struct {
    double interval;
    int doubleTaps;
    int singleTaps;
  } cases[] = {{0.1, kDoubleClicks, kDoubleClicks},
               {0.3, kDoubleClicks, kDoubleClicks},
               {0.4, 0, 2 * kDoubleClicks},
               {0.8, 0, 2 * kDoubleClicks}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    const int doublesBefore = doubleTap->recognizedCount();
    const int singlesBefore = singleTap->recognizedCount();
    for (int i = 0; i < kDoubleClicks; ++i) {
      harness.doubleClick({187, 333}, c.interval);
      harness.settle(1);
    }
    EXPECT_EQ(doubleTap->recognizedCount() - doublesBefore, c.doubleTaps);
    EXPECT_EQ(singleTap->recognizedCount() - singlesBefore, c.singleTaps);
  }
  stop = true;
  worker.join();
}

TEST(WindowInputE2ETest, ThePanelTellsItsStatesInTheAppsLanguageAndTheDeviceRowFollowsATurn) {
  E2EHarness harness;
  auto upright = std::make_shared<ui::ViewController>();
  harness.showScreen(upright);
  auto& defaults = platform::UserDefaults::standard();
  const auto before = defaults.arrayForKey(platform::UserDefaults::kAppleLanguagesKey);
  std::vector<std::vector<std::string>> seen;
  for (const char* language : {"en", "zh-Hans"}) {
    defaults.registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    auto rows = lumora::windowPanelRows();
    ASSERT_EQ(rows.size(), 4u);
    std::vector<std::string> labels;
    for (const auto& row : rows) labels.push_back(row.label());
    // The page stays upright, but the device turned, and the row says so;
    // turned back, it reads as before.
    rows[1].action();
    EXPECT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::Portrait);
    const std::string turned = rows[1].label();
    EXPECT_NE(turned, labels[1]);
    labels.push_back(turned);
    rows[1].action();
    EXPECT_EQ(rows[1].label(), labels[1]);
    rows[2].action();  // to the background
    labels.push_back(rows[2].label());
    EXPECT_NE(labels.back(), labels[2]);
    rows[2].action();
    seen.push_back(labels);
  }
  // Every row's every state reads otherwise in Chinese than in English.
  for (std::size_t i = 0; i < seen[0].size(); ++i) EXPECT_NE(seen[0][i], seen[1][i]) << i;
  defaults.registerDefaults(
      {{platform::UserDefaults::kAppleLanguagesKey, before.value_or(platform::Json::array({"en"}))}});
  ui::resetLocalizedStringsForTesting();
}

}  // namespace
}  // namespace e2e
