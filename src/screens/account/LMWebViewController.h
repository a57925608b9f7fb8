// One web page inside the app (privacy policy, user agreement, phone
// binding, help for SMS codes that do not arrive). Pages are not drawn
// here: the screen fetches the page, shows its title and address, a
// spinner while it loads, and a button that opens the page in the desktop
// browser. A finished load counts "load_website_success" under the page's
// statistics title; a failed one shows "Web Site Failed", with the
// "Bad Network" message only when that is what the failure means.
//
// Ownership: made by the storyboard ("webViewController"), owned by its
// navigation controller; it owns its web view. Threading: main thread.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"

namespace lumora {

class LMWebViewController : public platform::ui::ViewController, public platform::ui::WebViewDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "webViewController";

  std::string url;
  std::string pageRecordTitle;
  bool scalesPageToFit = false;

  std::shared_ptr<platform::ui::WebView> webView = std::make_shared<platform::ui::WebView>();
  std::shared_ptr<platform::ui::ActivityIndicatorView> indicatorView;
  std::shared_ptr<platform::ui::Label> titleLabel;
  std::shared_ptr<platform::ui::Label> addressLabel;
  std::shared_ptr<platform::ui::Button> browserButton;

  void loadView() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::Default;
  }

  void back();
  // Hands the address to the desktop browser.
  void openInBrowser();

  void webViewDidStartLoad(platform::ui::WebView& webView) override;
  void webViewDidFinishLoad(platform::ui::WebView& webView) override;
  void webViewDidFailLoad(platform::ui::WebView& webView, const platform::Error& error) override;
};

}  // namespace lumora
