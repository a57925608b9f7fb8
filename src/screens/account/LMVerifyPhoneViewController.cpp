#include "screens/account/LMVerifyPhoneViewController.h"

#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/TextMeasurer.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
constexpr const char* kPhoneSid = "lumora";
std::string phoneText(const char* key) { return ui::localizedString(key); }

std::optional<ui::Image> stretchable(const char* name) {
  auto image = ui::Image::imageNamed(name);
  if (!image) return std::nullopt;
  // Caps of half the image less half a point: the point between them
  // stretches.
  const double v = image->size().height / 2 - 0.5;
  const double h = image->size().width / 2 - 0.5;
  return image->resizableImageWithCapInsets({v, h, v, h});
}

void countPhoneButton(bool fromButton, const char* category) {
  if (fromButton) KoStatSDK::recordCountEvent(std::string(category), "button");
}
}  // namespace

std::shared_ptr<LMVerifyCodeField> LMVerifyCodeField::create(const ui::Rect& frame) {
  auto field = std::make_shared<LMVerifyCodeField>(frame);
  field->setBackgroundColor(ui::Color::clear());
  field->bgView->setImage(stretchable("验证码按钮.png"));
  field->textField->setFont(ui::Font::systemFont(18));
  field->addSubview(field->bgView);
  field->addSubview(field->textField);
  field->setNeedsLayout();
  return field;
}

void LMVerifyCodeField::layoutSubviews() {
  const auto b = bounds();
  bgView->setFrame({0, 0, b.width, b.height});
  textField->setFrame({5, b.height / 2 - 11, b.width - 10, 22});
}

std::shared_ptr<LMSendPhoneButton> LMSendPhoneButton::create(const ui::Rect& frame) {
  auto button = std::make_shared<LMSendPhoneButton>(frame);
  button->setNormalBackgroundColor(ui::Color::clear());
  button->setHighlightedBackgroundColor(ui::Color::clear());
  return button;
}

void LMSendPhoneButton::layoutSubviews() {
  const auto b = bounds();
  const auto& label = titleLabel();
  const auto text = ui::TextMeasurer::current()->measure(label->text(), label->style().font, 1e9, 1);
  setTitleRect({(b.width - text.width) / 2, (b.height - text.height) / 2, text.width, text.height});
  setImageRect({0, 0, b.width, b.height});
  LMCustomButton::layoutSubviews();
}

void LMVerifyPhoneViewController::loadView() {
  auto root = std::make_shared<ui::View>(ui::Rect{0, 0, 320, 480});
  safePhoneLabel = std::make_shared<ui::Label>(ui::Rect{15, 20, 290, 40});
  safePhoneLabel->setNumberOfLines(2);
  firstPhoneTicketBtn = std::make_shared<ui::Button>(ui::Rect{15, 70, 290, 44});
  firstPhoneTicketBtn->setTitle(phoneText("发送验证码"));
  firstPhoneTicketBtn->setTitleColor(ui::colorWithHexString("6d6d72"));
  phoneTicketTextField = LMVerifyCodeField::create({15, 70, 170, 44});
  sendPhoneTicketBtn = LMSendPhoneButton::create({195, 70, 110, 44});
  trustDeviceBtn = LMCustomButton::create({15, 127, 30, 30});
  auto trustLabel = std::make_shared<ui::Label>(ui::Rect{52, 120, 250, 44});
  trustLabel->setText(phoneText("信任此设备"));
  verifyCodeHelpInfoBtn = std::make_shared<ui::Button>(ui::Rect{15, 170, 290, 30});
  for (const auto& view : std::initializer_list<std::shared_ptr<ui::View>>{
           safePhoneLabel, firstPhoneTicketBtn, phoneTicketTextField, sendPhoneTicketBtn, trustDeviceBtn, trustLabel,
           verifyCodeHelpInfoBtn}) {
    root->addSubview(view);
  }
  setView(root);
}

void LMVerifyPhoneViewController::viewDidLoad() {
  view()->setBackgroundColor(ui::colorWithHexString("efeff4"));
  navigationItem().title = title().value_or("");
  for (const auto& button : std::initializer_list<std::shared_ptr<ui::Button>>{firstPhoneTicketBtn, sendPhoneTicketBtn}) {
    button->setBackgroundImage(stretchable("验证码按钮.png"), ui::ControlState::Normal);
    button->setBackgroundImage(stretchable("验证码按钮按下.png"), ui::ControlState::Highlighted);
    button->setBackgroundImage(stretchable("验证码按钮不可用.png"), ui::ControlState::Disabled);
  }
  sendPhoneTicketLabel = std::make_shared<ui::Label>(sendPhoneTicketBtn->bounds());
  sendPhoneTicketLabel->setTextColor(ui::colorWithHexString("6d6d72"));
  sendPhoneTicketLabel->setTextAlignment(ui::TextAlignment::Center);
  sendPhoneTicketLabel->setFont(ui::Font::systemFont(15));
  sendPhoneTicketBtn->setCustomTitleLabel(sendPhoneTicketLabel);
  sendPhoneTicketBtn->setEnabled(false);
  isTrustDevice = false;
  trustDeviceBtn->setImageRect({0, 0, 30, 30});
  updateTrustDevice(*trustDeviceBtn, false);
  verifyCodeHelpInfoBtn->setTitle(phoneText("短信无法获取"));
  verifyCodeHelpInfoBtn->setTitleColor(ui::colorWithHexString("2c8efc"));
  verifyCodeHelpInfoBtn->titleLabel()->setAttributedText(
      {ui::TextRun{phoneText("短信无法获取"), true, 0, 0, ui::colorWithHexString("2c8efc")}});

  std::weak_ptr<LMVerifyPhoneViewController> weak =
      std::static_pointer_cast<LMVerifyPhoneViewController>(shared_from_this());
  auto act = [weak](void (LMVerifyPhoneViewController::*method)(bool)) {
    return [weak, method] {
      if (auto self = weak.lock()) ((*self).*method)(true);
    };
  };
  navigationItem().leftBarButtonItem = ui::BarButtonItem{phoneText("取消"), act(&LMVerifyPhoneViewController::cancelLogin)};
  navigationItem().rightBarButtonItem = ui::BarButtonItem{phoneText("登录"), act(&LMVerifyPhoneViewController::verifyPhone)};
  setLoginEnabled(false);
  firstPhoneTicketBtn->setAction(act(&LMVerifyPhoneViewController::sendPhoneTicket));
  sendPhoneTicketBtn->setAction(act(&LMVerifyPhoneViewController::sendPhoneTicket));
  verifyCodeHelpInfoBtn->setAction(act(&LMVerifyPhoneViewController::showVerifyCodeHelpInfo));
  trustDeviceBtn->setAction([weak] {
    if (auto self = weak.lock()) self->trustDeviceSwitch();
  });
  phoneTicketTextField->setHidden(true);
  sendPhoneTicketBtn->setHidden(true);
  firstPhoneTicketBtn->setHidden(false);

  auto passport = QBPassportsManager::sharedManager()->passportForSid(kPhoneSid);
  auto masked = passport ? passport->maskedPhone() : std::nullopt;
  safePhoneLabel->setText(ui::stringWithFormat(phoneText("Safe Phone Format"), {masked.value_or("")}));
}

void LMVerifyPhoneViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  KoStatSDK::recordPage("短信验证信任设备界面");
}

void LMVerifyPhoneViewController::setLoginEnabled(bool enabled) {
  setRightBarButtonItemEnabled(enabled);
}

void LMVerifyPhoneViewController::sendPhoneTicket(bool fromButton) {
  countPhoneButton(fromButton, "发送手机验证码按钮");
  setLoginEnabled(false);
  phoneTicketTextField->textField->resignFirstResponder();
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  std::weak_ptr<LMVerifyPhoneViewController> weak =
      std::static_pointer_cast<LMVerifyPhoneViewController>(shared_from_this());
  hud.showWithTitle(phoneText("Sending Message"), [weak] {
    auto self = weak.lock();
    if (!self) return;
    QB_LOG_INFO("Send Verify Phone Ticket Begin");
    self->setLoginEnabled(false);
    QBPassportsManager::sharedManager()->sendPhoneTicketForSid(kPhoneSid, [weak](const platform::Status& status) {
      LMProgressHUD::sharedHUD().dismissWithBlock([weak, status] {
        auto self = weak.lock();
        if (!self) return;
        self->setLoginEnabled(true);
        if (!status.ok()) {
          const auto& error = status.error();
          QB_LOG_ERROR("Verify Phone Ticket Error: {}", error.description());
          std::optional<std::string> message;
          if (error.code() == 70022) {
            KoStatSDK::recordCountEvent(std::string("fail_no_phone_ticket"), "发送手机验证码");
            message = phoneText("Send Too Manay Verify Code");
          } else if (error.code() == 66108) {
            KoStatSDK::recordCountEvent(std::string("fail_no_verify_phone"), "发送手机验证码");
            message = phoneText("NO Safe Phone");
          } else {
            message = LMCustomUtils::messageForURLError(error, "发送手机验证码");
          }
          showLoginAlert(phoneText("Send Verify Code Fail"), message);
          return;
        }
        self->firstPhoneTicketBtn->setHidden(true);
        self->sendPhoneTicketBtn->setHidden(false);
        self->phoneTicketTextField->setHidden(false);
        self->protectionTime = 61;
        self->timerFire();
        self->sendPhoneTicketBtn->setEnabled(false);
        if (self->timer) self->timer->invalidate();
        // The screen holds its timer, never the other way round: a screen
        // closed during the countdown goes, and its timer stops at its next
        // tick.
        self->timer = ui::Timer::scheduled(1.0, true, [weak](ui::Timer& ticking) {
          if (auto screen = weak.lock()) {
            screen->timerFire();
          } else {
            ticking.invalidate();
          }
        });
      });
    });
  });
}

void LMVerifyPhoneViewController::timerFire() {
  --protectionTime;
  sendPhoneTicketLabel->setText(
      ui::localizedCountString("Resend Verify Code", static_cast<std::int64_t>(protectionTime)));
  if (protectionTime > 0) return;
  sendPhoneTicketLabel->setText(phoneText("重新获取验证码"));
  sendPhoneTicketBtn->setEnabled(true);
  if (timer) {
    auto ending = std::move(timer);
    ending->invalidate();
  }
}

void LMVerifyPhoneViewController::verifyPhone(bool fromButton) {
  countPhoneButton(fromButton, "手机验证码登录按钮");
  const std::string code = phoneTicketTextField->textField->text();
  phoneTicketTextField->textField->setText("");
  setLoginEnabled(false);
  phoneTicketTextField->textField->resignFirstResponder();
  if (code.empty()) {
    setLoginEnabled(true);
    showLoginAlert(phoneText("Login Failed"), phoneText("NO Phone Ticket"));
    return;
  }
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  std::weak_ptr<LMVerifyPhoneViewController> weak =
      std::static_pointer_cast<LMVerifyPhoneViewController>(shared_from_this());
  hud.showWithTitle(phoneText("Verify Phone Ticket"), [weak, code] {
    auto self = weak.lock();
    if (!self) return;
    QB_LOG_INFO("Verify Phone Ticket Begin");
    self->setLoginEnabled(false);
    const bool trust = self->isTrustDevice;
    QBPassportsManager::sharedManager()->verifyPhoneTicket(code, kPhoneSid, trust, [weak](const platform::Status& status) {
      LMProgressHUD::sharedHUD().dismissWithBlock([weak, status] {
        auto self = weak.lock();
        if (!self) return;
        self->setLoginEnabled(true);
        if (status.ok()) {
          self->reportSuccess();
          return;
        }
        const auto& error = status.error();
        QB_LOG_ERROR("Verify Phone Ticket Error: {}", error.description());
        if (error.code() == 70014) {
          KoStatSDK::recordCountEvent(std::string("fail_invalid_phone_ticket"), "短信验证");
          showLoginAlert(phoneText("Login Failed"), phoneText("Invalid Phone Ticket"));
        } else {
          showLoginAlert(phoneText("Login Failed"),
                         LMCustomUtils::messageForURLError(error, "短信验证").value_or(phoneText("Bad Login")));
        }
      });
    });
    KoStatSDK::recordCountEvent(std::string(trust ? "信任设备" : "未信任设备"), "短信验证");
  });
}

void LMVerifyPhoneViewController::trustDeviceSwitch() {
  isTrustDevice = !isTrustDevice;
  updateTrustDevice(*trustDeviceBtn, isTrustDevice);
}

void LMVerifyPhoneViewController::showVerifyCodeHelpInfo(bool fromButton) {
  countPhoneButton(fromButton, "短信无法获取按钮");
  pushAccountWebPage(*this, "SMS Error", "短信无法获取", true);
}

void LMVerifyPhoneViewController::cancelLogin(bool fromButton) {
  countPhoneButton(fromButton, "取消登录按钮");
  phoneTicketTextField->textField->resignFirstResponder();
  reportCancel();
}

}  // namespace lumora
