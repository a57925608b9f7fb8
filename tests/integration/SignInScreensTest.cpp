// The sign-in screens against the local cloud over HTTP, on the manual
// clock: input checks, the captcha (first and later failures), the
// service's refusals, the two-step code and the phone code with its
// countdown, each ending in didSuccessLogin; the web page's load and its
// network failure; the captcha path check.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LocalCloudLoginTest.h"
#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/app/Application.h"
#include "platform/http/CookieStorage.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/account/LMVerifyPhoneViewController.h"
#include "screens/account/LMWebViewController.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "support/MainQueuePump.h"
#include "support/Sanitizers.h"

namespace {

namespace ui = platform::ui;
using lumora::LMLoginViewController;

struct SignInTestDelegate : lumora::LMLoginViewControllerDelegate {
  SignInTestDelegate() {
    didSuccessLogin = [this] { ++successes; };
    didCancelLogin = [this] { ++cancels; };
  }
  int successes = 0;
  int cancels = 0;
};

class SignInScreensTest : public logintest::LocalCloudLoginTest {
 protected:
  void SetUp() override {
    LocalCloudLoginTest::SetUp();
    platform::MainQueue::main().bindToCurrentThread();
    lumora::registerAppScenes();
    navigation_ = std::dynamic_pointer_cast<ui::NavigationController>(
        lumora::LMStoryboard::instantiateViewControllerWithIdentifier(LMLoginViewController::kSceneIdentifier));
    ASSERT_TRUE(navigation_);
    login_ = std::dynamic_pointer_cast<LMLoginViewController>(navigation_->rootViewController());
    ASSERT_TRUE(login_);
    login_->delegate = delegate_;
    platform::Application::shared().setRootViewController(navigation_);
  }
  void TearDown() override {
    pump([] { return false; }, std::chrono::milliseconds(100));
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
    LocalCloudLoginTest::TearDown();
  }

  bool pump(const std::function<bool()>& pred,
            std::chrono::milliseconds limit = testsupport::scaled(std::chrono::seconds(20))) {
    return testsupport::pumpUntil(*clock_, pred, limit);
  }
  // Waits for the next alert and presses its button; its title and message.
  std::pair<std::string, std::string> takeAlert() {
    EXPECT_TRUE(pump([] { return !ui::AlertView::visibleAlerts().empty(); }));
    auto alerts = ui::AlertView::visibleAlerts();
    if (alerts.empty()) return {};
    auto alert = alerts.front();
    alert->pressButtonAtIndex(0);
    return {alert->title(), alert->message()};
  }
  static localcloud::AccountOptions with(const std::function<void(localcloud::AccountOptions&)>& set) {
    localcloud::AccountOptions options;
    set(options);
    return options;
  }
  void seed(std::int64_t id, const std::string& name, localcloud::AccountOptions options = {}) {
    std::string error;
    ASSERT_TRUE(server_->seedAccount(id, name, "secret", options, &error)) << error;
  }
  void signIn(const std::string& name, const std::string& password, const std::string& code = {}) {
    login_->nameTextField->setText(name);
    login_->pwdTextField->setText(password);
    login_->codeTextField->setText(code);
    ASSERT_TRUE(login_->tapRightBarButton());
  }
  template <class Screen>
  std::shared_ptr<Screen> pushed() {
    pump([&] { return std::dynamic_pointer_cast<Screen>(navigation_->topViewController()) != nullptr; });
    return std::dynamic_pointer_cast<Screen>(navigation_->topViewController());
  }
  bool signedIn() {
    return pump([&] { return delegate_->successes == 1; });
  }
  static std::string text(const char* key) { return ui::localizedString(key); }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<SignInTestDelegate> delegate_ = std::make_shared<SignInTestDelegate>();
  std::shared_ptr<ui::NavigationController> navigation_;
  std::shared_ptr<LMLoginViewController> login_;
};

TEST_F(SignInScreensTest, InputChecksStoreTheNameFirstAndRefusalsAreShown) {
  seed(10001, "alice");
  seed(10002, "blocked", with([](auto& o) { o.blocked = true; }));
  signIn("", "secret");
  EXPECT_EQ(takeAlert().second, text("请输入用户名"));
  signIn("alice", "");
  EXPECT_EQ(takeAlert().second, text("请输入密码"));
  EXPECT_EQ(platform::UserDefaults::standard().stringForKey(LMLoginViewController::kLastLoginUserKey), "alice");

  struct Case {
    const char* name;
    const char* password;
    const char* message;
    bool clearsPassword;
  };
  for (const auto& c : std::vector<Case>{{"nobody", "secret", "Verify Failed Invalid Name", true},
                                         {"alice", "wrong", "Verify Failed", true},
                                         {"blocked", "secret", "Account Irregularity", false}}) {
    SCOPED_TRACE(c.name);
    signIn(c.name, c.password);
    EXPECT_EQ(takeAlert(), std::make_pair(text("Login Failed"), text(c.message)));
    EXPECT_EQ(login_->pwdTextField->text().empty(), c.clearsPassword);
    EXPECT_TRUE(login_->navigationItem().rightBarButtonItem->enabled);
  }
  EXPECT_EQ(delegate_->successes, 0);
}

TEST_F(SignInScreensTest, CaptchaFirstThenInvalidThenTheRightCodeSignsIn) {
  seed(10001, "alice", with([](auto& o) { o.needsCaptcha = true; }));
  auto table = login_->tableView;
  auto rowHeight = [&](int row) { return table->rectForRowAtIndexPath({0, row}).height; };
  EXPECT_EQ(rowHeight(2), 0);
  signIn("alice", "secret");
  EXPECT_EQ(takeAlert().first, text("Verify Code First"));
  EXPECT_TRUE(login_->isShowCodeCell);
  EXPECT_EQ(rowHeight(2), 44);
  EXPECT_TRUE(login_->pwdTextField->text().empty());

  signIn("alice", "secret", "0000000");
  EXPECT_EQ(takeAlert(), std::make_pair(text("Invalid Verify Code"), std::string()));

  // The code of the captcha this client was shown last.
  std::string ick;
  for (const auto& cookie : platform::http::CookieStorage::shared().cookiesForURL(server_->url() + "/pass/getCode")) {
    if (cookie.name == "ick") ick = cookie.value;
  }
  auto code = server_->captchaCode(ick);
  ASSERT_TRUE(code);
  signIn("alice", "secret", *code);
  EXPECT_TRUE(signedIn());
}

TEST_F(SignInScreensTest, TwoStepCodeScreenFinishesTheLogin) {
  seed(10001, "alice", with([](auto& o) {
         o.needsTwoStep = true;
         o.twoStepCode = "123456";
       }));
  signIn("alice", "secret");
  auto otp = pushed<lumora::LMOTPViewController>();
  ASSERT_TRUE(otp);
  otp->codeTextField->setText("999999");
  otp->tapRightBarButton();
  EXPECT_EQ(takeAlert().second, text("Invalid 2Step Verify Code"));
  otp->trustDeviceSwitch();
  otp->codeTextField->setText("123456");
  otp->tapRightBarButton();
  EXPECT_TRUE(signedIn());
}

TEST_F(SignInScreensTest, PhoneCodeAfterCodeTwoWithItsCountdown) {
  seed(10001, "alice", with([](auto& o) {
         o.needsPhoneVerification = true;
         o.phone = "13812345678";
       }));
  seed(10002, "nophone", with([](auto& o) { o.needsPhoneVerification = true; }));
  auto passports = lumora::QBPassportsManager::sharedManager();
  passports->setNeedVerifyPhone(true);  // as the app's launch does
  signIn("nophone", "secret");  // no phone to verify: offers binding one
  auto bind = takeAlert();
  EXPECT_EQ(bind.second, text("NO Verify Phone Info"));

  signIn("alice", "secret");
  auto phone = pushed<lumora::LMVerifyPhoneViewController>();
  ASSERT_TRUE(phone);
  EXPECT_NE(phone->safePhoneLabel->text().find("138******78"), std::string::npos);
  phone->firstPhoneTicketBtn->tap();
  ASSERT_TRUE(pump([&] { return phone->protectionTime == 60; }));
  EXPECT_FALSE(phone->sendPhoneTicketBtn->isEnabled());
  auto tick = [&] {
    clock_->advance(platform::seconds(1));
    platform::MainQueue::main().runUntilIdle();
  };
  for (int i = 0; i < 59; ++i) tick();
  EXPECT_FALSE(phone->sendPhoneTicketBtn->isEnabled());
  tick();
  EXPECT_TRUE(phone->sendPhoneTicketBtn->isEnabled());
  EXPECT_EQ(phone->sendPhoneTicketLabel->text(), text("重新获取验证码"));

  phone->phoneTicketTextField->textField->setText("000000");
  phone->tapRightBarButton();
  EXPECT_EQ(takeAlert(), std::make_pair(text("Login Failed"), text("Invalid Phone Ticket")));
  EXPECT_TRUE(phone->phoneTicketTextField->textField->text().empty());
  auto ticket = server_->phoneTicket("10001");
  ASSERT_TRUE(ticket);
  phone->phoneTicketTextField->textField->setText(*ticket);
  phone->tapRightBarButton();
  EXPECT_TRUE(signedIn());
  passports->setNeedVerifyPhone(false);
}

TEST_F(SignInScreensTest, WebPageLoadsItsPageOrShowsBadNetwork) {
  login_->showUserPrivacy();
  auto page = pushed<lumora::LMWebViewController>();
  ASSERT_TRUE(page);
  EXPECT_EQ(page->url, server_->url() + "/about/privacy");
  ASSERT_TRUE(pump([&] { return !page->webView->isLoading(); }));
  EXPECT_FALSE(page->titleLabel->text().empty());
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  platform::Application::shared().registerURLScheme("http");
  page->browserButton->tap();
  EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{page->url});

  page->back();
  server_->stop();
  login_->showUserAgreement();
  page = pushed<lumora::LMWebViewController>();
  ASSERT_TRUE(page);
  EXPECT_EQ(takeAlert(), std::make_pair(text("Web Site Failed"), text("Bad Network")));
}

TEST(SignInCaptchaPathTest, OnlyAPathOnTheAccountHostIsUsed) {
  struct Case {
    const char* path;
    bool usable;
  };
  for (const auto& c : std::vector<Case>{{"/pass/getCode?icodeType=login", true},
                                         {"/a", true},
                                         {"", false},
                                         {"/", false},
                                         {"//evil.example/x", false},
                                         {"@evil.example/x", false},
                                         {"https://evil.example/x", false},
                                         {"/\\evil.example", false},
                                         {"/a b", false},
                                         {"/a\r\nHost: x", false}}) {
    EXPECT_EQ(lumora::isUsableCaptchaPath(c.path), c.usable) << c.path;
  }
}

}  // namespace
