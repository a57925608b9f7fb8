#include "screens/account/LMLoginViewController.h"

#include <algorithm>
#include <cmath>

#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/JsonValues.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/SynchronousReply.h"
#include "platform/media/Image.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "stats/KoStatSDK.h"
#include "utils/ServiceHosts.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
constexpr const char* kLoginSid = "lumora";
constexpr const char* kLoginEvent = "用户名密码登录";

std::string loc(const char* key) { return ui::localizedString(key); }

void countButton(bool fromButton, const char* category) {
  if (fromButton) KoStatSDK::recordCountEvent(std::string(category), "button");
}

std::shared_ptr<ui::TextField> loginField(const char* placeholder) {
  auto field = std::make_shared<ui::TextField>(ui::Rect{15, 0, 290, 44});
  field->setPlaceholder(loc(placeholder));
  field->setTag(kLoginStretchTag);
  return field;
}

std::shared_ptr<ui::Button> linkButton(ui::Rect frame, const char* key) {
  auto button = std::make_shared<ui::Button>(frame);
  button->setTitle(loc(key));
  button->setTitleColor(ui::colorWithHexString("2c8efc"));
  button->titleLabel()->setAttributedText({ui::TextRun{loc(key), true, 0, 0, ui::colorWithHexString("2c8efc")}});
  return button;
}
}  // namespace

void LMLoginViewController::loadView() {
  nameTextField = loginField("用户名");
  pwdTextField = loginField("密码");
  codeTextField = loginField("验证码");
  codeTextField->setFrame({15, 0, 180, 44});
  codeTextField->setTag(0);
  codeImageView = std::make_shared<ui::ImageView>(ui::Rect{200, 4, 105, 36});
  codeButton = std::make_shared<ui::Button>(ui::Rect{200, 4, 105, 36});
  alertLabel = std::make_shared<ui::Label>(ui::Rect{15, 6, 290, 30});
  alertLabel->setFont(ui::Font::systemFont(13));
  alertLabel->setNumberOfLines(0);
  alertLabel->setTag(kLoginStretchTag);
  privacyButton = linkButton({15, 36, 120, 24}, "用户隐私");
  agreementButton = linkButton({185, 36, 120, 24}, "用户协议");

  std::weak_ptr<LMLoginViewController> weak = std::static_pointer_cast<LMLoginViewController>(shared_from_this());
  auto cells = std::make_shared<std::vector<std::shared_ptr<ui::TableViewCell>>>(
      std::vector<std::shared_ptr<ui::TableViewCell>>{
          loginCellWith({nameTextField}), loginCellWith({pwdTextField}),
          loginCellWith({codeTextField, codeImageView, codeButton}),
          loginCellWith({alertLabel, privacyButton, agreementButton})});
  (*cells)[3]->setBackgroundColor(ui::Color::clear());
  table_ = std::make_shared<LMStaticTable>(
      4, [cells](int row) { return (*cells)[row]; },
      [weak](int row) -> double {
        auto self = weak.lock();
        if (row == 2) return self && self->isShowCodeCell ? 44 : 0;
        return row == 3 ? 64 : 44;
      });
  tableView = LMStaticTable::makeTable(table_, {0, 0, 320, 480});
  setView(tableView);
}

void LMLoginViewController::viewDidLoad() {
  isShowCodeCell = false;
  isFirstCode = true;
  verifyCodeURL.reset();
  auto& defaults = platform::UserDefaults::standard();
  nameTextField->setText(defaults.stringForKey(kLastLoginUserKey).value_or(""));
  pwdTextField->setText("");
  pwdTextField->setSecureTextEntry(true);
  alertLabel->setText(loc("Login Register Info"));
  alertLabel->setTextColor(ui::colorWithHexString("6d6d72"));
  navigationItem().title = title().value_or("");

  std::weak_ptr<LMLoginViewController> weak = std::static_pointer_cast<LMLoginViewController>(shared_from_this());
  auto act = [weak](void (LMLoginViewController::*method)(bool)) {
    return [weak, method] {
      if (auto self = weak.lock()) ((*self).*method)(true);
    };
  };
  navigationItem().leftBarButtonItem = ui::BarButtonItem{loc("取消"), act(&LMLoginViewController::cancelLogin)};
  navigationItem().rightBarButtonItem = ui::BarButtonItem{loc("登录"), act(&LMLoginViewController::loginPassport)};
  codeButton->setAction(act(&LMLoginViewController::requestVerifyCode));
  privacyButton->setAction(act(&LMLoginViewController::showUserPrivacy));
  agreementButton->setAction(act(&LMLoginViewController::showUserAgreement));
  tableView->reloadData();
}

void LMLoginViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  tableView->reloadData();  // the rows at the width the screen has now
}

void LMLoginViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("Quenby帐号登录界面");
}

void LMLoginViewController::setLoginEnabled(bool enabled) {
  setRightBarButtonItemEnabled(enabled);
}

void LMLoginViewController::endEditing() {
  for (const auto& field : {nameTextField, pwdTextField, codeTextField}) field->resignFirstResponder();
}

void LMLoginViewController::loginPassport(bool fromButton) {
  countButton(fromButton, "用户名密码登录按钮");
  endEditing();
  setLoginEnabled(false);
  const std::string name = nameTextField->text();
  if (name.empty()) {
    showLoginAlert(std::nullopt, loc("请输入用户名"));
    setLoginEnabled(true);
    return;
  }
  auto& defaults = platform::UserDefaults::standard();
  defaults.setString(kLastLoginUserKey, name);
  defaults.synchronize();
  const std::string password = pwdTextField->text();
  if (password.empty()) {
    showLoginAlert(std::nullopt, loc("请输入密码"));
    setLoginEnabled(true);
    return;
  }
  if (isShowCodeCell && codeTextField->text().empty()) {
    showLoginAlert(std::nullopt, loc("请输入验证码"));
    setLoginEnabled(true);
    return;
  }
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  std::weak_ptr<LMLoginViewController> weak = std::static_pointer_cast<LMLoginViewController>(shared_from_this());
  const bool withCode = isShowCodeCell;
  hud.showWithTitle(loc("Loggin"), [weak, name, password, withCode] {
    auto self = weak.lock();
    if (!self) return;
    QB_LOG_INFO("Login Begin");
    auto done = [weak](const platform::Status& status) {
      auto self = weak.lock();
      if (!self) return;
      std::optional<platform::Error> error;
      if (!status.ok()) error = status.error();
      self->verifyCodeURL.reset();
      if (error) {
        if (auto path = platform::stringAt(error->userInfo(), "captchaUrl")) self->verifyCodeURL = *path;
      }
      self->updateVerifyCodeFinished([weak, error](std::optional<ui::Image> image, std::optional<platform::Error> fetch) {
        LMProgressHUD::sharedHUD().dismissWithBlock([weak, error, image, fetch] {
          if (auto self = weak.lock()) self->handleResult(error, image, fetch);
        });
      });
    };
    auto passports = QBPassportsManager::sharedManager();
    if (withCode) {
      std::string code = self->codeTextField->text();
      passports->loginForSid(kLoginSid, name, password, false, code.empty() ? std::string("None") : code, done);
    } else {
      passports->loginForSid(kLoginSid, name, password, false, done);
    }
  });
}

void LMLoginViewController::updateVerifyCodeFinished(CaptchaBlock block) {
  if (!verifyCodeURL || !isUsableCaptchaPath(*verifyCodeURL)) {
    block(std::nullopt, std::nullopt);
    return;
  }
  const std::string address = ServiceHosts::baseURL(ServiceHosts::kAccount) + *verifyCodeURL;
  // Decoded here, no larger than its view shows it (and refused past the
  // bound of pictures from elsewhere), so that drawing decodes nothing.
  const double scale = ui::Screen::main().scale();
  const ui::Size shown{std::max(1.0, codeImageView->bounds().width * scale),
                       std::max(1.0, codeImageView->bounds().height * scale)};
  platform::globalQueue().async([address, shown, block = std::move(block)] {
    QB_LOG_INFO("Request Update Verify Code");
    platform::http::Request request;
    request.url = address;
    auto reply = platform::http::sendSynchronousRequest(request);
    std::optional<platform::Image> picture;
    double shrink = 1;
    if (reply.ok() && !reply.data.empty()) {
      auto decoded = platform::Image::shownImageWithData(reply.data, static_cast<int>(std::ceil(shown.width)),
                                                         static_cast<int>(std::ceil(shown.height)), &shrink);
      if (decoded.ok()) picture = std::move(decoded.value());
    }
    platform::MainQueue::main().async([reply = std::move(reply), picture = std::move(picture), shrink, block] {
      std::optional<ui::Image> image;
      if (picture) image = ui::Image::imageWithBitmap(*picture, 2 * shrink);
      block(image, reply.error);
    });
  });
}

void LMLoginViewController::handleResult(const std::optional<platform::Error>& loginError,
                                         const std::optional<ui::Image>& image,
                                         const std::optional<platform::Error>& fetchError) {
  setLoginEnabled(true);
  if (image) {
    codeImageView->setImage(image);
    codeTextField->setText("");
    isShowCodeCell = true;
    tableView->reloadData();
    if (isFirstCode) {
      pwdTextField->setText("");
      showLoginAlert(loc("Verify Code First"), std::nullopt);
      alertLabel->setText(loc("Change Verify Code"));
      isFirstCode = false;
      return;
    }
  }
  if (fetchError) {
    QB_LOG_ERROR("Login Error: {}", fetchError->description());
    showLoginAlert(loc("Update Verify Code Failed"), LMCustomUtils::messageForURLError(*fetchError, kLoginEvent));
    return;
  }
  if (!loginError) {
    QB_LOG_INFO("Login Success");
    KoStatSDK::recordCountEvent(std::string("login_success"), kLoginEvent);
    reportSuccess();
    return;
  }
  if (!image) {
    codeImageView->setImage(std::nullopt);
    codeTextField->setText("");
    isShowCodeCell = false;
    alertLabel->setText(loc("Login Register Info"));
    tableView->reloadData();
  }
  routeError(*loginError);
}

void LMLoginViewController::routeError(const platform::Error& error) {
  if (auto message = messageForLoginError(error, kLoginEvent)) {
    showLoginAlert(std::nullopt, *message);
    // What was wrong is typed again.
    if (error.code() == 20003 || error.code() == 70016) pwdTextField->setText("");
    if (error.code() == 70014) codeTextField->setText("");
    return;
  }
  auto count = [](const char* category) { KoStatSDK::recordCountEvent(std::string(category), kLoginEvent); };
  switch (error.code()) {
    case 2: {
      count("fail_need_verify_phone");
      auto passport = QBPassportsManager::sharedManager()->passportForSid(kLoginSid);
      auto masked = passport ? passport->maskedPhone() : std::nullopt;
      if (masked && !masked->empty()) {
        pushScene("verifyPhoneViewController");
      } else {
        showBindPhoneAlert();
      }
      return;
    }
    case 66108:
      count("fail_no_verify_phone");
      showBindPhoneAlert();
      return;
    case 81003:
      count("fail_2step");
      pushScene("OTPViewController");
      return;
    case 87001:
      if (isFirstCode) return;
      count("fail_invalid_verify_code");
      showLoginAlert(loc("Invalid Verify Code"), std::nullopt);
      return;
    default:
      return;
  }
}

void LMLoginViewController::showBindPhoneAlert() {
  std::weak_ptr<LMLoginViewController> weak = std::static_pointer_cast<LMLoginViewController>(shared_from_this());
  const std::string bind = loc("去绑定");
  ui::AlertView::alert(loc("Login Failed"), loc("NO Verify Phone Info"), loc("取消"), {bind},
                       [weak, bind](ui::AlertView& alert, int index) {
                         auto self = weak.lock();
                         if (!self || index < 0 || index >= static_cast<int>(alert.buttonTitles().size())) return;
                         if (alert.buttonTitles()[index] == bind) {
                           pushAccountWebPage(*self, "Bind Phone", "绑定手机界面", false);
                         }
                       })
      ->show();
}

std::shared_ptr<platform::ui::ViewController> LMLoginViewController::instantiateWithDelegate(
    std::weak_ptr<LMLoginViewControllerDelegate> delegate) {
  auto scene = LMStoryboard::instantiateViewControllerWithIdentifier(kSceneIdentifier);
  std::shared_ptr<platform::ui::ViewController> top = scene;
  if (auto navigation = std::dynamic_pointer_cast<platform::ui::NavigationController>(scene)) {
    top = navigation->rootViewController();
  }
  if (auto login = std::dynamic_pointer_cast<LMLoginDelegateHolder>(top)) login->delegate = std::move(delegate);
  return scene;
}

void LMLoginViewController::pushScene(const std::string& identifier) {
  auto next = LMStoryboard::instantiateViewControllerWithIdentifier(identifier);
  auto navigation = navigationController();
  if (!next || !navigation) return;
  if (auto screen = std::dynamic_pointer_cast<LMLoginDelegateHolder>(next)) screen->delegate = delegate;
  navigation->pushViewController(next, false);
}

void LMLoginViewController::requestVerifyCode(bool fromButton) {
  countButton(fromButton, "更换验证码按钮");
  endEditing();
  setLoginEnabled(false);
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  std::weak_ptr<LMLoginViewController> weak = std::static_pointer_cast<LMLoginViewController>(shared_from_this());
  hud.showWithTitle(loc("Getting Verify Code"), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->updateVerifyCodeFinished([weak](std::optional<ui::Image> image, std::optional<platform::Error> error) {
      LMProgressHUD::sharedHUD().dismissWithBlock([weak, image, error] {
        auto self = weak.lock();
        if (!self) return;
        self->setLoginEnabled(true);
        if (error) {
          QB_LOG_ERROR("Update Verify Code Error: {}", error->description());
          showLoginAlert(loc("Update Verify Code Failed"), LMCustomUtils::messageForURLError(*error, "更换验证码"));
        } else if (image) {
          QB_LOG_INFO("Request Update Verify Code Success");
          KoStatSDK::recordCountEvent(std::string("get_verify_code_success"), "更换验证码");
          self->codeImageView->setImage(image);
        }
      });
    });
  });
}

void LMLoginViewController::cancelLogin(bool fromButton) {
  countButton(fromButton, "取消登录按钮");
  endEditing();
  reportCancel();
}

void LMLoginViewController::showUserPrivacy(bool fromButton) {
  countButton(fromButton, "用户隐私按钮");
  pushAccountWebPage(*this, "Privacy Policy", "用户隐私界面", false);
}

void LMLoginViewController::showUserAgreement(bool fromButton) {
  countButton(fromButton, "用户协议按钮");
  pushAccountWebPage(*this, "Privacy Agreement", "用户协议界面", false);
}

}  // namespace lumora
