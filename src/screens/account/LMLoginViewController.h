// The sign-in screen: user name and password, an image captcha when the
// account service asks for one, and links to the privacy policy and the
// user agreement. A login that needs more hands over to the phone
// verification screen (code 2 with a known masked phone) or the two-step
// code screen (81003), with this screen's delegate. The delegate hears
// didSuccessLogin or didCancelLogin and dismisses the navigation controller.
//
// Rows: 0 the name, 1 the password, 2 the captcha (0 points high while
// hidden), 3 the notice line and the links (64 points).
//
// Ownership: made by the storyboard ("passportViewController", inside a
// navigation controller); the delegate is held weakly. Threading: main
// thread; the captcha image is fetched on the global queue.
// Failures: shown as alerts; the login button is enabled again after each.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"
#include "screens/account/LMLoginScreens.h"

namespace lumora {

class LMLoginViewController : public platform::ui::ViewController, public LMLoginDelegateHolder {
 public:
  static constexpr const char* kSceneIdentifier = "passportViewController";
  static constexpr const char* kLastLoginUserKey = "LMLastLoginUserID";

  // The login scene (the navigation controller around this screen) with
  // `delegate` on its login screen; null when the scene is not registered.
  static std::shared_ptr<platform::ui::ViewController> instantiateWithDelegate(
      std::weak_ptr<LMLoginViewControllerDelegate> delegate);

  std::shared_ptr<platform::ui::TextField> nameTextField;
  std::shared_ptr<platform::ui::TextField> pwdTextField;
  std::shared_ptr<platform::ui::TextField> codeTextField;
  std::shared_ptr<platform::ui::ImageView> codeImageView;
  std::shared_ptr<platform::ui::Button> codeButton;
  std::shared_ptr<platform::ui::Label> alertLabel;
  std::shared_ptr<platform::ui::Button> privacyButton;
  std::shared_ptr<platform::ui::Button> agreementButton;
  std::shared_ptr<platform::ui::TableView> tableView;

  bool isShowCodeCell = false;
  bool isFirstCode = true;
  std::optional<std::string> verifyCodeURL;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::Default;
  }

  // Actions; a tap (with a sender) also counts the button.
  void loginPassport(bool fromButton = true);
  void cancelLogin(bool fromButton = true);
  void requestVerifyCode(bool fromButton = true);
  void showUserPrivacy(bool fromButton = true);
  void showUserAgreement(bool fromButton = true);

  using CaptchaBlock = std::function<void(std::optional<platform::ui::Image> image,
                                          std::optional<platform::Error> error)>;
  // Fetches the captcha image of verifyCodeURL (at once with nothing when
  // there is no usable path).
  void updateVerifyCodeFinished(CaptchaBlock block);

 private:
  void setLoginEnabled(bool enabled);
  void endEditing();
  void handleResult(const std::optional<platform::Error>& loginError, const std::optional<platform::ui::Image>& image,
                    const std::optional<platform::Error>& fetchError);
  void routeError(const platform::Error& error);
  void showBindPhoneAlert();
  void pushScene(const std::string& identifier);
  std::shared_ptr<LMStaticTable> table_;
};

}  // namespace lumora
