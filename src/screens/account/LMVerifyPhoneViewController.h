// The phone verification screen: after a login that needs the account's
// phone checked (code 2, with a masked phone known), it asks the account
// service for an SMS code, counts 60 seconds down before another may be
// asked for, lets the user choose whether to trust this device, and sends
// the typed code to finish the sign-in. LMVerifyCodeField is the code
// entry (a text field on a stretchable background) and LMSendPhoneButton
// the resend button whose title sits centred over its background.
//
// Ownership: made by the storyboard ("verifyPhoneViewController") and
// pushed by the login screen with its delegate (held weakly); the
// countdown timer keeps the screen alive until it ends. Threading: main
// thread. Failures: alerts titled "Send Verify Code Fail" or "Login Failed".
#pragma once

#include <memory>

#include "platform/ui/Control.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "screens/account/LMLoginViewControllerDelegate.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMVerifyCodeField : public platform::ui::View {
 public:
  static std::shared_ptr<LMVerifyCodeField> create(const platform::ui::Rect& frame);
  std::shared_ptr<platform::ui::ImageView> bgView = std::make_shared<platform::ui::ImageView>();
  std::shared_ptr<platform::ui::TextField> textField = std::make_shared<platform::ui::TextField>();
  void layoutSubviews() override;

  using View::View;
};

class LMSendPhoneButton : public LMCustomButton {
 public:
  static std::shared_ptr<LMSendPhoneButton> create(const platform::ui::Rect& frame);
  void layoutSubviews() override;

  using LMCustomButton::LMCustomButton;
};

class LMVerifyPhoneViewController : public platform::ui::ViewController, public LMLoginDelegateHolder {
 public:
  static constexpr const char* kSceneIdentifier = "verifyPhoneViewController";

  std::shared_ptr<platform::ui::Label> safePhoneLabel;
  std::shared_ptr<platform::ui::Button> firstPhoneTicketBtn;
  std::shared_ptr<LMSendPhoneButton> sendPhoneTicketBtn;
  std::shared_ptr<LMVerifyCodeField> phoneTicketTextField;
  std::shared_ptr<LMCustomButton> trustDeviceBtn;
  std::shared_ptr<platform::ui::Button> verifyCodeHelpInfoBtn;
  std::shared_ptr<platform::ui::Label> sendPhoneTicketLabel;

  bool isTrustDevice = false;
  long protectionTime = 0;
  std::shared_ptr<platform::ui::Timer> timer;

  void loadView() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::Default;
  }

  void sendPhoneTicket(bool fromButton = true);
  void verifyPhone(bool fromButton = true);
  void cancelLogin(bool fromButton = true);
  void trustDeviceSwitch();
  void showVerifyCodeHelpInfo(bool fromButton = true);
  void timerFire();

 private:
  void setLoginEnabled(bool enabled);
};

}  // namespace lumora
