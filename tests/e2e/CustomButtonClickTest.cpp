// A user's click through the offscreen window reaches a button of the app;
// a click just outside it does not.
#include <gtest/gtest.h>

#include "e2e/E2EHarness.h"
#include "platform/ui/Control.h"
#include "platform/ui/DisplayLink.h"
#include "screens/common/LMCustomButton.h"

namespace e2e {
namespace {

TEST(CustomButtonClickTest, AClickOnTheButtonPressesItAndOneJustOutsideDoesNot) {
  E2EHarness harness;
  auto screen = std::make_shared<ui::ViewController>();
  auto button = lumora::LMCustomButton::create({100, 200, 120, 44});
  button->setTitle(std::string("同步"));
  button->setTitleColor(ui::colorWithHexString("1c65c5"));
  button->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  int presses = 0;
  button->addAction(ui::kControlEventTouchUpInside, [&](ui::Control&) { ++presses; });
  screen->view()->addSubview(button);
  harness.showScreen(screen);

  harness.click({100.5, 200.5});
  EXPECT_EQ(presses, 1);
  harness.click({219.5, 243.5});
  EXPECT_EQ(presses, 2);
  for (ui::Point outside : {ui::Point{99.5, 220}, ui::Point{220.5, 220}, ui::Point{160, 199.5}, ui::Point{160, 244.5}}) {
    harness.click(outside);
  }
  EXPECT_EQ(presses, 2);
  harness.screenshot("custom-button");

  // The clock moves on by itself while the app waits for a timer.
  bool fired = false;
  ui::dispatchAfter(30, [&] { fired = true; });
  EXPECT_TRUE(harness.runUntil([&] { return fired; }));
}

TEST(CustomButtonClickTest, KeysAndChineseInputGoToTheFieldAClickFocused) {
  E2EHarness harness;
  auto screen = std::make_shared<ui::ViewController>();
  auto field = std::make_shared<ui::TextField>(ui::Rect{20, 100, 280, 40});
  screen->view()->addSubview(field);
  harness.showScreen(screen);
  harness.typeText("x");
  EXPECT_EQ(field->text(), "") << "nothing has the focus yet";
  harness.click({100, 120});
  harness.typeText("ab");
  harness.commitInputMethodText("同步");
  harness.pressBackspace();
  EXPECT_EQ(field->text(), "ab同");
  harness.screenshot("text-field");
}

}  // namespace
}  // namespace e2e
