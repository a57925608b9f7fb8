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

TEST(WindowInputE2ETest, ADoubleClickIsOneDoubleTapWhileWorkersSleepTheClockOn) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto screen = std::make_shared<ui::ViewController>();
  auto doubleTap = std::make_shared<ui::TapGestureRecognizer>([](ui::GestureRecognizer&) {});
  doubleTap->setNumberOfTapsRequired(2);
  screen->view()->addGestureRecognizer(doubleTap);
  harness.showScreen(screen);
  // A worker that sleeps in short steps, as a loader waiting out its pace
  // does: every step moves the clock on.
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) harness.clock().sleepFor(platform::seconds(0.05));
  });
  constexpr int kDoubleClicks = 20;
  for (int i = 0; i < kDoubleClicks; ++i) {
    harness.doubleClick({187, 333});
    harness.settle(1);
  }
  stop = true;
  worker.join();
  EXPECT_EQ(doubleTap->recognizedCount(), kDoubleClicks);
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
