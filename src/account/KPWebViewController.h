// The account SDK's full-screen login web screen: shows one page of the
// account service (the first page's URL with the authorisation parameters as
// its query and the given cookies in one Cookie field), watches every
// navigation, and ends when the page sets a "passInfo" cookie that it knows
// ("need-relogin", "login-end"), when the page navigates to the caller's
// redirect URI, or when the user taps Cancel. Each ending reports to the
// delegate once and then hides the screen.
//
// Ownership: make it with create(); while shown it is owned by the
// navigation controller it is presented in (the caller may drop its
// reference). The delegate is held weakly. Threading: main thread only.
// Failures: a page that fails to load only stops the indicator; the user
// then cancels.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/KPWebViewControllerDelegate.h"
#include "platform/Error.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"
#include "platform/http/Cookie.h"

namespace lumora {

class KPWebViewController : public platform::ui::ViewController,
                            public platform::ui::WebViewDelegate {
 public:
  static constexpr const char* kPassInfoKey = "passInfo";
  static constexpr const char* kNeedRelogin = "need-relogin";
  static constexpr const char* kLoginEnd = "login-end";

  // `authParams`: an object of parameter name to value (null: none).
  static std::shared_ptr<KPWebViewController> create(
      const std::string& url, const platform::Json& authParams,
      const std::vector<platform::http::Cookie>& cookies,
      const std::optional<std::string>& redirectURI,
      const std::weak_ptr<KPWebViewControllerDelegate>& delegate);

  // Wraps the screen in a new navigation controller and presents that from
  // the top-most screen. False when it could not be presented.
  bool show();
  // Stops loading and dismisses the screen.
  void hide();
  // hide(), then the delegate's webViewControllerDidCancel.
  void cancel();
  // Loads the first page.
  void load();
  void showIndicator();
  void hideIndicator();
  // Looks for a "passInfo" result cookie for the page shown; true when it
  // handled one (removed the cookie, reported and hid).
  bool checkNotificationResult(platform::ui::WebView& webView);

  // The key window's root screen followed through what it presents.
  static std::shared_ptr<platform::ui::ViewController> topMostControllerToPresentVC();

  std::shared_ptr<KPWebViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<KPWebViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  const std::shared_ptr<platform::ui::WebView>& webView() const { return webView_; }
  const std::shared_ptr<platform::ui::ActivityIndicatorView>& indicatorView() const { return indicatorView_; }
  const std::string& serverURL() const { return serverURL_; }
  const platform::Json& authParams() const { return authParams_; }
  const std::optional<std::string>& appRedirectURI() const { return appRedirectURI_; }

  // The first page's URL: the server URL, and the authorisation parameters
  // as a query until the first value that is not a non-empty string.
  static std::string urlWithParams(const std::string& serverURL, const platform::Json& params);
  // The request of the first page: urlWithParams, and the cookies (when
  // there are any) in one Cookie field. The overlay dialog loads it too.
  static platform::ui::WebRequest firstPageRequest(const std::string& serverURL, const platform::Json& params,
                                               const std::vector<platform::http::Cookie>& cookies);
  // {"url", "query", "fragment"} of an intercepted redirect (query and
  // fragment only when not empty).
  static platform::Json redirectInfo(const std::string& url);

  // Screen life cycle.
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;

  // Web view delegate.
  bool webViewShouldStartLoad(platform::ui::WebView& webView, const platform::ui::WebRequest& request,
                              platform::ui::WebNavigationType type) override;
  void webViewDidFinishLoad(platform::ui::WebView& webView) override;
  void webViewDidFailLoad(platform::ui::WebView& webView, const platform::Error& error) override;

  KPWebViewController() = default;

 private:
  std::shared_ptr<platform::ui::WebView> webView_ = std::make_shared<platform::ui::WebView>();
  std::shared_ptr<platform::ui::ActivityIndicatorView> indicatorView_ =
      std::make_shared<platform::ui::ActivityIndicatorView>();
  std::optional<std::string> appRedirectURI_;
  platform::Json authParams_;
  std::string serverURL_;
  std::vector<platform::http::Cookie> arrCookies_;
  std::weak_ptr<KPWebViewControllerDelegate> delegate_;
  // Set once the screen has reported its end, so a late navigation or load
  // event of the page cannot report a second one.
  bool ended_ = false;
};

}  // namespace lumora
