#include "screens/account/LMOTPViewController.h"

#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
constexpr const char* kOTPEvent = "Quenby安全令牌";
std::string otpText(const char* key) { return ui::localizedString(key); }
}  // namespace

void updateTrustDevice(LMCustomButton& button, bool trusted) {
  auto chosen = ui::Image::imageNamed("信任设备选择.png");
  auto open = ui::Image::imageNamed("信任设备未选择.png");
  button.setImage(trusted ? chosen : open, ui::ControlState::Normal);
  button.setImage(trusted ? open : chosen, ui::ControlState::Highlighted);
  button.setSelected(trusted);
}

void LMOTPViewController::loadView() {
  codeTextField = std::make_shared<ui::TextField>(ui::Rect{15, 0, 290, 44});
  codeTextField->setPlaceholder(otpText("安全令牌验证码"));
  codeTextField->setTag(kLoginStretchTag);
  trustDeviceBtn = LMCustomButton::create({15, 7, 30, 30});
  trustDeviceBtn->setImageRect({0, 0, 30, 30});
  auto trustLabel = std::make_shared<ui::Label>(ui::Rect{52, 0, 250, 44});
  trustLabel->setText(otpText("信任此设备"));
  trustLabel->setTag(kLoginStretchTag);
  alertLabel = std::make_shared<ui::Label>(ui::Rect{15, 0, 290, 34});
  alertLabel->setFont(ui::Font::systemFont(13));
  alertLabel->setNumberOfLines(0);
  alertLabel->setTag(kLoginStretchTag);
  auto cells = std::make_shared<std::vector<std::shared_ptr<ui::TableViewCell>>>(
      std::vector<std::shared_ptr<ui::TableViewCell>>{loginCellWith({codeTextField}),
                                                      loginCellWith({trustDeviceBtn, trustLabel}),
                                                      loginCellWith({alertLabel})});
  (*cells)[2]->setBackgroundColor(ui::Color::clear());
  table_ = std::make_shared<LMStaticTable>(
      3, [cells](int row) { return (*cells)[row]; }, [](int row) { return row == 2 ? 34.0 : 44.0; });
  tableView = LMStaticTable::makeTable(table_, {0, 0, 320, 480});
  setView(tableView);
}

void LMOTPViewController::viewDidLoad() {
  navigationItem().title = title().value_or("");
  alertLabel->setText(otpText("Two Step Login Info"));
  alertLabel->setTextColor(ui::colorWithHexString("6d6d72"));
  std::weak_ptr<LMOTPViewController> weak = std::static_pointer_cast<LMOTPViewController>(shared_from_this());
  navigationItem().leftBarButtonItem = ui::BarButtonItem{otpText("取消"), [weak] {
                                                            if (auto self = weak.lock()) self->cancelLogin(true);
                                                          }};
  navigationItem().rightBarButtonItem = ui::BarButtonItem{otpText("登录"), [weak] {
                                                             if (auto self = weak.lock()) self->sendOTPCode(true);
                                                           }};
  trustDeviceBtn->setAction([weak] {
    if (auto self = weak.lock()) self->trustDeviceSwitch();
  });
  trust_ = false;
  updateTrustDevice(*trustDeviceBtn, false);
  tableView->reloadData();
}

void LMOTPViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  tableView->reloadData();
}

void LMOTPViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("Quenby安全令牌界面");
}

void LMOTPViewController::trustDeviceSwitch() {
  trust_ = !trust_;
  updateTrustDevice(*trustDeviceBtn, trust_);
}

void LMOTPViewController::cancelLogin(bool fromButton) {
  if (fromButton) KoStatSDK::recordCountEvent(std::string("取消登录按钮"), "button");
  codeTextField->resignFirstResponder();
  reportCancel();
}

void LMOTPViewController::sendOTPCode(bool fromButton) {
  if (fromButton) KoStatSDK::recordCountEvent(std::string("Quenby安全令牌登录按钮"), "button");
  codeTextField->resignFirstResponder();
  const std::string code = codeTextField->text();
  if (code.empty()) {
    showLoginAlert(std::nullopt, otpText("NO 2Step Verify Code"));
    return;
  }
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  std::weak_ptr<LMOTPViewController> weak = std::static_pointer_cast<LMOTPViewController>(shared_from_this());
  const bool trust = trust_;
  hud.showWithTitle(otpText("Loggin"), [weak, code, trust] {
    auto self = weak.lock();
    if (!self) return;
    QB_LOG_INFO("2Step Login Begin");
    self->setRightBarButtonItemEnabled(false);
    QBPassportsManager::sharedManager()->checkOTPCode(code, "lumora", trust, [weak](const platform::Status& status) {
      LMProgressHUD::sharedHUD().dismissWithBlock([weak, status] {
        auto self = weak.lock();
        if (!self) return;
        self->setRightBarButtonItemEnabled(true);
        if (status.ok()) {
          self->reportSuccess();
          return;
        }
        const auto& error = status.error();
        QB_LOG_ERROR("2Step Login Error: {}", error.description());
        auto count = [](const char* category) { KoStatSDK::recordCountEvent(std::string(category), kOTPEvent); };
        if (isBadNetworkCode(error.code())) {
          count("fail_bad_network");
          showLoginAlert(std::nullopt, otpText("Bad Network"));
        } else if (error.code() == 81003 || error.code() == 403) {
          count("fail_invalid_verify_code");
          showLoginAlert(std::nullopt, otpText("Invalid 2Step Verify Code"));
        } else {
          showLoginAlert(std::nullopt,
                         LMCustomUtils::messageForURLError(error, kOTPEvent).value_or(otpText("Bad Login")));
        }
      });
    });
    KoStatSDK::recordCountEvent(std::string(trust ? "信任设备" : "未信任设备"), kOTPEvent);
  });
}

}  // namespace lumora
