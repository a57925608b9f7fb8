// The window repaints only when the screen's digest changed: every kind of
// change the renderer would paint differently is seen, and a look with
// nothing changed (an idle window) is not.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "platform/uiqt/ScreenDigest.h"

namespace ui = platform::ui;

namespace {

ui::Image picture(const ui::Color& colour) {
  ui::DisplayList list;
  list.fillRect({0, 0, 4, 4}, colour);
  return ui::Image::imageWithPicture(std::move(list), {4, 4});
}

TEST(ScreenDigestTest, SeesEveryPaintedChangeAndNothingElse) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->setRootViewController(std::make_shared<ui::ViewController>());
  window->makeKeyAndVisible();
  auto label = std::make_shared<ui::Label>(ui::Rect{10, 10, 100, 20});
  auto image = std::make_shared<ui::ImageView>(picture(ui::Color::black()));
  window->addSubview(label);
  window->addSubview(image);

  platform::uiqt::ScreenDigest digest;
  EXPECT_TRUE(digest.changed()) << "the first look";
  EXPECT_FALSE(digest.changed()) << "nothing changed";
  clock->advance(platform::seconds(0.5));
  EXPECT_FALSE(digest.changed()) << "time alone, within the status bar's minute";

  const std::vector<std::pair<std::string, std::function<void()>>> changes = {
      {"text", [&] { label->setText("同步"); }},
      {"colour", [&] { label->setTextColor(ui::Color::white()); }},
      {"frame", [&] { label->setFrame({12, 10, 100, 20}); }},
      {"hidden", [&] { label->setHidden(true); }},
      {"alpha", [&] { image->setAlpha(0.5); }},
      {"background", [&] { window->setBackgroundColor(ui::Color::yellow()); }},
      {"subview", [&] { window->addSubview(std::make_shared<ui::View>(ui::Rect{0, 0, 5, 5})); }},
      // The old picture is gone: its address may be the new one's.
      {"picture",
       [&] {
         image->setImage(std::nullopt);
         image->setImage(picture(ui::Color::white()));
       }},
      {"status bar's minute", [&] { clock->advance(platform::seconds(60)); }},
      {"an animation half way",
       [&] {
         ui::View::animate(1, [&] { image->setFrame({0, 100, 4, 4}); });
         clock->advance(platform::seconds(0.5));
       }},
      {"the animation later", [&] { clock->advance(platform::seconds(0.25)); }},
  };
  for (const auto& [what, change] : changes) {
    change();
    EXPECT_TRUE(digest.changed()) << what;
    EXPECT_FALSE(digest.changed()) << what << ", looked at again";
  }
  window->setHidden(true);
}

}  // namespace
