// The two-step code screen: the code of the account's security token and
// whether to trust this device, sent to the account service to finish a
// login that answered 81003. Rows: 0 the code, 1 the trust box (44
// points), 2 the explanation (34 points).
//
// Ownership: made by the storyboard ("OTPViewController") and pushed by the
// login screen, which hands it its delegate (held weakly). Threading: main
// thread. Failures: one alert each; the code stays typed.
#pragma once

#include <memory>

#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMOTPViewController : public platform::ui::ViewController, public LMLoginDelegateHolder {
 public:
  static constexpr const char* kSceneIdentifier = "OTPViewController";

  std::shared_ptr<platform::ui::TextField> codeTextField;
  std::shared_ptr<platform::ui::Label> alertLabel;
  std::shared_ptr<LMCustomButton> trustDeviceBtn;
  std::shared_ptr<platform::ui::TableView> tableView;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::Default;
  }

  void sendOTPCode(bool fromButton = true);
  void cancelLogin(bool fromButton = true);
  void trustDeviceSwitch();
  bool isTrustDevice() const { return trust_; }

 private:
  bool trust_ = false;
  std::shared_ptr<LMStaticTable> table_;
};

// The trust box's two images: "信任设备选择.png" when trusted, swapped
// with "信任设备未选择.png" for the highlighted state.
void updateTrustDevice(LMCustomButton& button, bool trusted);

}  // namespace lumora
