// What the sign-in screens share: their failure alert ("Login Failed"
// unless given another title, one button "我知道了") and what it tells of
// a failed sign-in (also the demo's words for one), the addresses of the
// account service's pages, the captcha path check, and the screens' table
// look (one section, a clear 20-point header, rows on "efeff4").
//
// Threading: main thread. Failures: an unusable captcha path is none.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"
#include "screens/account/LMLoginViewControllerDelegate.h"

namespace lumora {

void showLoginAlert(const std::optional<std::string>& title, const std::optional<std::string>& message);

// The localised address of one of the account service's pages ("Privacy
// Policy", "Bind Phone", ...): a text beginning with "/" is a path on the
// account service's host.
std::string accountPageURL(const std::string& key);

// The failures the sign-in screens answer with "Bad Network" (no
// connection, host not found, unsupported address); other network codes
// get the general message for their code.
bool isBadNetworkCode(std::int64_t code);

// What the sign-in screen tells of a failed sign-in ("Verify Failed" for a
// wrong name or password...), counted in the usage statistics under
// `event` as LMCustomUtils::messageForURLError counts; nullopt for the
// failures it answers with a step of its own instead (a phone to verify or
// bind, a two-step code, a captcha), which the screen counts itself.
std::optional<std::string> messageForLoginError(const platform::Error& error, const std::string& event);

// A captcha path from a login reply: a path (query allowed) beginning with
// a single "/", without backslashes, blanks or control characters; anything
// else is no captcha, so a reply cannot send the image request to another
// host.
bool isUsableCaptchaPath(const std::string& path);

// Pushes the web page screen for `key`'s page.
void pushAccountWebPage(platform::ui::ViewController& from, const std::string& key, const std::string& recordTitle,
                        bool scalesPageToFit);

// After a sign-in failure that asks for a two-step code: the two-step code
// screen, reporting to `delegate`, pushed without animation on the
// navigation controller `from` stands in.
void pushTwoStepScreen(platform::ui::ViewController& from, std::weak_ptr<LMLoginViewControllerDelegate> delegate);

// What a delegate of the sign-in screens does with them at the end: the
// login screens `owner` presents are dismissed; a two-step screen pushed
// above `owner` on its navigation controller is popped, so `owner` is on
// top again. Both animated.
void closeSignInScreens(platform::ui::ViewController& owner);

// A static table of rows of the given heights; cells come from `cell`.
class LMStaticTable : public platform::ui::TableViewDataSource, public platform::ui::TableViewDelegate {
 public:
  using CellFor = std::function<std::shared_ptr<platform::ui::TableViewCell>(int row)>;
  using HeightFor = std::function<double(int row)>;
  LMStaticTable(int rows, CellFor cell, HeightFor height)
      : rows_(rows), cell_(std::move(cell)), height_(std::move(height)) {}

  // A table for `owner`'s view with this data source and delegate.
  static std::shared_ptr<platform::ui::TableView> makeTable(const std::shared_ptr<LMStaticTable>& table,
                                                            platform::ui::Rect frame);

  int numberOfRowsInSection(platform::ui::TableView&, int) override { return rows_; }
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView&,
                                                                     platform::ui::IndexPath path) override {
    return cell_(path.row);
  }
  std::optional<double> heightForRowAtIndexPath(platform::ui::TableView&, platform::ui::IndexPath path) override {
    return height_(path.row);
  }
  std::optional<double> heightForHeaderInSection(platform::ui::TableView&, int) override { return 20; }
  std::shared_ptr<platform::ui::View> viewForHeaderInSection(platform::ui::TableView&, int) override;

 private:
  int rows_;
  CellFor cell_;
  HeightFor height_;
};

// A plain table cell holding `views`; those tagged kLoginStretchTag take
// the cell's width.
inline constexpr int kLoginStretchTag = 0x51;
std::shared_ptr<platform::ui::TableViewCell> loginCellWith(
    std::initializer_list<std::shared_ptr<platform::ui::View>> views);

}  // namespace lumora
