// A user signs in through the offscreen window: name and password typed,
// "登录" clicked, the captcha and the two-step code answered; a second
// account goes through the SMS code. Each ends in didSuccessLogin.
#include <gtest/gtest.h>

#include <QImage>
#include <functional>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "e2e/E2EHarness.h"
#include "platform/http/CookieStorage.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/account/LMVerifyPhoneViewController.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"

namespace e2e {
namespace {

struct SignInE2EDelegate : lumora::LMLoginViewControllerDelegate {
  SignInE2EDelegate() {
    didSuccessLogin = [this] { ++successes; };
  }
  int successes = 0;
};

class SignInE2ETest : public ::testing::Test {
 protected:
  SignInE2ETest() {
    lumora::registerAppScenes();
    navigation_ = std::dynamic_pointer_cast<ui::NavigationController>(
        lumora::LMStoryboard::instantiateViewControllerWithIdentifier("passportViewController"));
    login_ = std::dynamic_pointer_cast<lumora::LMLoginViewController>(navigation_->rootViewController());
    login_->delegate = delegate_;
    harness_.showScreen(navigation_);
  }
  ~SignInE2ETest() override {
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
    lumora::QBPassportsManager::sharedManager()->setNeedVerifyPhone(false);
  }

  void seed(std::int64_t id, const std::string& name, const std::function<void(localcloud::AccountOptions&)>& set) {
    localcloud::AccountOptions options;
    set(options);
    std::string error;
    ASSERT_TRUE(harness_.cloud().seedAccount(id, name, "secret", options, &error)) << error;
  }
  void typeInto(ui::Point field, const std::string& text) {
    harness_.click(field);
    harness_.typeText(text);
  }
  // "登录", the navigation bar's right item.
  void clickSignIn() { harness_.click({ui::Screen::main().bounds().width - 38, 42}); }
  void pressAlert() {
    ASSERT_TRUE(harness_.waitFor([] { return !ui::AlertView::visibleAlerts().empty(); }));
    harness_.clickButton(ui::localizedString("我知道了"));
  }
  template <class Screen>
  bool onTop() {
    return harness_.waitFor([&] { return std::dynamic_pointer_cast<Screen>(navigation_->topViewController()) != nullptr; });
  }

  E2EHarness harness_;
  std::shared_ptr<SignInE2EDelegate> delegate_ = std::make_shared<SignInE2EDelegate>();
  std::shared_ptr<ui::NavigationController> navigation_;
  std::shared_ptr<lumora::LMLoginViewController> login_;
};

// Rows under the bar and the 20-point header: name, password, captcha.
constexpr ui::Point kNameRow{100, 106};
constexpr ui::Point kPasswordRow{100, 150};
constexpr ui::Point kCaptchaRow{100, 194};

TEST_F(SignInE2ETest, CaptchaAndTwoStepCodeLeadToDidSuccessLogin) {
  seed(10001, "alice", [](auto& o) {
    o.needsCaptcha = true;
    o.needsTwoStep = true;
    o.twoStepCode = "246810";
  });
  typeInto(kNameRow, "alice");
  typeInto(kPasswordRow, "secret");
  clickSignIn();
  pressAlert();  // the captcha first
  ASSERT_TRUE(login_->isShowCodeCell);
  // The rows (44, 44, 44 with the captcha, 64) on the screen's grey.
  QImage shot = harness_.screenshot("login-captcha");
  const double scale = shot.width() / ui::Screen::main().bounds().width;
  auto at = [&](double x, double y) { return shot.pixelColor(int(x * scale), int(y * scale)).rgb() & 0xffffff; };
  EXPECT_EQ(at(300, 64 + 20 + 44 * 3 - 2), 0xffffffu);  // the captcha row, white
  EXPECT_EQ(at(300, 64 + 20 + 44 * 3 + 64 + 10), 0xefeff4u);

  std::string ick;
  for (const auto& cookie : platform::http::CookieStorage::shared().cookiesForURL(harness_.cloudURL() + "/pass")) {
    if (cookie.name == "ick") ick = cookie.value;
  }
  auto code = harness_.cloud().captchaCode(ick);
  ASSERT_TRUE(code);
  typeInto(kPasswordRow, "secret");
  typeInto(kCaptchaRow, *code);
  clickSignIn();
  ASSERT_TRUE(onTop<lumora::LMOTPViewController>());
  harness_.settle(1);
  typeInto(kNameRow, "246810");  // the two-step screen's code row
  clickSignIn();
  EXPECT_TRUE(harness_.waitFor([&] { return delegate_->successes == 1; }));
}

TEST_F(SignInE2ETest, PhoneCodeLeadsToDidSuccessLogin) {
  seed(10002, "bob", [](auto& o) {
    o.needsPhoneVerification = true;
    o.phone = "13912345678";
  });
  lumora::QBPassportsManager::sharedManager()->setNeedVerifyPhone(true);
  typeInto(kNameRow, "bob");
  typeInto(kPasswordRow, "secret");
  clickSignIn();
  ASSERT_TRUE(onTop<lumora::LMVerifyPhoneViewController>());
  harness_.settle(1);
  harness_.click({160, 64 + 92});  // the send button
  auto phone = std::dynamic_pointer_cast<lumora::LMVerifyPhoneViewController>(navigation_->topViewController());
  ASSERT_TRUE(harness_.waitFor([&] { return !phone->phoneTicketTextField->isHidden(); }));
  harness_.screenshot("verify-phone");
  auto ticket = harness_.cloud().phoneTicket("10002");
  ASSERT_TRUE(ticket);
  typeInto({100, 64 + 92}, *ticket);
  clickSignIn();
  EXPECT_TRUE(harness_.waitFor([&] { return delegate_->successes == 1; }));
}

}  // namespace
}  // namespace e2e
