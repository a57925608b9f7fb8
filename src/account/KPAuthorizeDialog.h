// The account SDK's overlay form of the login web page: a panel laid over
// the key window (on a background view that covers it), with a close button,
// a bounce-in appearance and its own rotation handling. It loads its first
// page as the login web screen does and ends when the page navigates to the
// redirect URI (the "url" / "query" / "fragment" info goes to the delegate)
// or when the user closes it. The panel draws itself as a dark translucent
// sheet with a one-point border; the web view fills it but for a point at
// the top and the sides, and the close button sits at its top right.
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
  // The close button's title colours (red, green, blue of 255) and font size.
  static constexpr int kCloseTitleRed = 167;
  static constexpr int kCloseTitleGreen = 184;
  static constexpr int kCloseTitleBlue = 216;
  static constexpr double kCloseTitleFontSize = 12;
  // The panel's grey, its fill opacity and border width.
  static constexpr double kPanelGrey = 0.3;
  static constexpr double kPanelFillAlpha = 0.8;
  static constexpr double kBorderWidth = 1;
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

  // The panel: the bounds filled, then the border along them.
  void draw(platform::ui::DisplayList& list) const override;
  // `rect` filled with `fill`, with corners of `radius` points when it is
  // not 0 (the rounded rectangle then inset and moved by half a point).
  static void drawRect(platform::ui::DisplayList& list, const platform::ui::Rect& rect,
                       const platform::ui::Color& fill, double radius);
  // The four edges of `rect` as one-point lines of `stroke`.
  static void strokeLines(platform::ui::DisplayList& list, const platform::ui::Rect& rect,
                          const platform::ui::Color& stroke);
  // The web view keeps its margins when the panel changes size; the close
  // button keeps its place from the top left.
  void layoutSubviews() override;

  const std::shared_ptr<platform::ui::WebView>& webView() const { return webView_; }
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
