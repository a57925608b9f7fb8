// The account SDK's overlay form of the login web page: a panel laid over
// the key window (on a background view that covers it), with a close button,
// a bounce-in appearance and its own rotation handling. It loads its first
// page as the login web screen does and ends when the page navigates to the
// redirect URI (the "url" / "query" / "fragment" info goes to the delegate)
// or when the user closes it. Nothing draws here: the panel is a headless
// view tree whose frames and transforms tests can read.
//
// Ownership: make it with create(); while shown, the window's view tree
// owns it. The delegate is held weakly. Threading: main thread only; the
// removal from the window is posted to the main queue, and the bounce steps
// run on it after their durations on the clock. Failures: a page that fails
// to load only stops the indicator; the user then closes the panel.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app/Application.h"
#include "platform/Error.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/Control.h"
#include "platform/ui/View.h"
#include "platform/ui/WebView.h"
#include "platform/http/Cookie.h"

namespace lumora {

class KPAuthorizeDialog;

class KPAuthorizeDialogDelegate {
 public:
  virtual ~KPAuthorizeDialogDelegate() = default;
  virtual void authorizeDialog(KPAuthorizeDialog& dialog, const platform::Json& info) = 0;
  virtual void authorizeDialogDidCancel(KPAuthorizeDialog& dialog) = 0;
};

class KPAuthorizeDialog : public platform::ui::View, public platform::ui::WebViewDelegate {
 public:
  static constexpr const char* kCloseImage = "KoPassport.bundle/images/close.png";
  static constexpr const char* kOrientationNotification = "UIDeviceOrientationDidChangeNotification";
  static constexpr double kCloseButtonSize = 29;
  // Durations of the three bounce steps, in seconds.
  static constexpr double kBounce1Duration = 0.2;
  static constexpr double kBounce2Duration = 0.15;
  static constexpr double kBounce3Duration = 0.15;

  // The bare panel (web view, close button, indicator, background view).
  static std::shared_ptr<KPAuthorizeDialog> create();
  static std::shared_ptr<KPAuthorizeDialog> create(const std::string& url,
                                                   const platform::Json& authParams,
                                                   const std::vector<platform::http::Cookie>& cookies,
                                                   const std::optional<std::string>& redirectURI,
                                                   const std::weak_ptr<KPAuthorizeDialogDelegate>& delegate);
  ~KPAuthorizeDialog() override;

  void show();
  // Stops observing rotation and loading; the panel leaves the window on
  // the main queue.
  void hide();
  // Takes the panel and its background off the window.
  void _hide();
  // hide(), then the delegate's authorizeDialogDidCancel.
  void cancel();
  void load();
  void showIndicator();
  void hideIndicator();

  bool shouldRotateToOrientation(platform::InterfaceOrientation orientation) const;
  platform::ui::Transform transformForOrientation() const;
  void sizeToFitOrientation(bool transform);
  void updateWebOrientation();
  void deviceOrientationDidChange();
  void addObservers();
  void removeObservers();
  void showWebView();
  void bounce1AnimationStopped();
  void bounce2AnimationStopped();

  const std::shared_ptr<platform::ui::WebView>& webView() const { return webView_; }
  const platform::ui::Rect& webViewFrame() const { return webViewFrame_; }
  const std::shared_ptr<platform::ui::Button>& closeButton() const { return closeButton_; }
  const std::shared_ptr<platform::ui::View>& modalBackgroundView() const { return modalBackgroundView_; }
  const std::shared_ptr<platform::ui::ActivityIndicatorView>& indicatorView() const { return indicatorView_; }
  platform::InterfaceOrientation previousOrientation() const { return previousOrientation_; }

  bool webViewShouldStartLoad(platform::ui::WebView& webView, const platform::ui::WebRequest& request,
                              platform::ui::WebNavigationType type) override;
  void webViewDidFinishLoad(platform::ui::WebView& webView) override;
  void webViewDidFailLoad(platform::ui::WebView& webView, const platform::Error& error) override;

  KPAuthorizeDialog() = default;

 private:
  void build();
  std::shared_ptr<KPAuthorizeDialog> self();
  void afterDelay(double seconds, void (KPAuthorizeDialog::*step)());

  std::shared_ptr<platform::ui::WebView> webView_ = std::make_shared<platform::ui::WebView>();
  platform::ui::Rect webViewFrame_;
  std::shared_ptr<platform::ui::Button> closeButton_ = std::make_shared<platform::ui::Button>();
  std::shared_ptr<platform::ui::View> modalBackgroundView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<platform::ui::ActivityIndicatorView> indicatorView_ =
      std::make_shared<platform::ui::ActivityIndicatorView>();
  platform::InterfaceOrientation previousOrientation_ = platform::InterfaceOrientation::Unknown;
  std::optional<std::string> appRedirectURI_;
  platform::Json authParams_;
  std::string serverURL_;
  std::vector<platform::http::Cookie> arrCookies_;
  std::weak_ptr<KPAuthorizeDialogDelegate> delegate_;
  platform::ObserverToken observer_ = 0;
};

}  // namespace lumora
