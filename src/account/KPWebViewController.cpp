#include "account/KPWebViewController.h"

#include "account/KPCookieUtil.h"
#include "account/QBPassportRequest.h"
#include "utils/LMLogUtil.h"
#include "platform/app/Application.h"
#include "platform/JsonValues.h"
#include "platform/http/Cookie.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/Url.h"

namespace lumora {

std::shared_ptr<KPWebViewController> KPWebViewController::create(
    const std::string& url, const platform::Json& authParams,
    const std::vector<platform::http::Cookie>& cookies,
    const std::optional<std::string>& redirectURI,
    const std::weak_ptr<KPWebViewControllerDelegate>& delegate) {
  auto controller = std::make_shared<KPWebViewController>();
  controller->serverURL_ = url;
  controller->authParams_ = authParams;
  controller->arrCookies_ = cookies;
  controller->appRedirectURI_ = redirectURI;
  controller->delegate_ = delegate;
  controller->webView_->setDelegate(controller);
  return controller;
}

std::shared_ptr<platform::ui::ViewController> KPWebViewController::topMostControllerToPresentVC() {
  auto top = platform::Application::shared().rootViewController();
  while (top && top->presentedViewController()) top = top->presentedViewController();
  return top;
}

bool KPWebViewController::show() {
  auto navigation = platform::ui::NavigationController::withRoot(
      std::static_pointer_cast<KPWebViewController>(shared_from_this()));
  auto top = topMostControllerToPresentVC();
  if (!top || !top->presentViewController(navigation, true)) {
    LM_LOG_ERROR("Cannot present the login web view");
    return false;
  }
  return true;
}

void KPWebViewController::hide() {
  webView_->stopLoading();
  dismissViewController(true);
}

void KPWebViewController::cancel() {
  if (ended_) return;
  ended_ = true;
  auto self = shared_from_this();  // the dismissal drops the presenter's reference
  hide();
  if (auto delegate = delegate_.lock()) delegate->webViewControllerDidCancel(*this);
}

void KPWebViewController::viewDidLoad() {
  std::weak_ptr<KPWebViewController> weak =
      std::static_pointer_cast<KPWebViewController>(shared_from_this());
  navigationItem().leftBarButtonItem = platform::ui::BarButtonItem{"Cancel", [weak] {
    if (auto self = weak.lock()) self->cancel();
  }};
}

void KPWebViewController::viewWillAppear(bool) {
  load();
  showIndicator();
}

std::string KPWebViewController::urlWithParams(const std::string& serverURL,
                                               const platform::Json& params) {
  if (!params.is_object() || params.empty()) return serverURL;
  std::string query;
  for (const auto& [key, value] : params.items()) {
    if (!platform::isNonEmptyString(value)) break;
    if (!query.empty()) query += "&";
    query += key + "=" + QBPassportRequest::urlEncode(value.get<std::string>());
  }
  return serverURL + "?" + query;
}

platform::ui::WebRequest KPWebViewController::firstPageRequest(const std::string& serverURL,
                                                          const platform::Json& params,
                                                          const std::vector<platform::http::Cookie>& cookies) {
  platform::ui::WebRequest request{urlWithParams(serverURL, params), {}};
  if (!cookies.empty()) request.headers.emplace_back("Cookie", platform::http::cookieHeaderValue(cookies));
  return request;
}

void KPWebViewController::load() { webView_->loadRequest(firstPageRequest(serverURL_, authParams_, arrCookies_)); }

void KPWebViewController::showIndicator() {
  indicatorView_->startAnimating();
}

void KPWebViewController::hideIndicator() { indicatorView_->stopAnimating(); }

bool KPWebViewController::checkNotificationResult(platform::ui::WebView& webView) {
  if (ended_ || !webView.request()) return false;
  const std::string& url = webView.request()->url;
  std::string passInfo =
      KPCookieUtil::getSharedCookiesValueForKey(kPassInfoKey, url).value_or(std::string());
  platform::Json info;
  if (passInfo.find(kNeedRelogin) != std::string::npos) {
    info = platform::Json{{kPassInfoKey, kNeedRelogin}};
  } else if (passInfo.find(kLoginEnd) != std::string::npos) {
    info = platform::Json{{kPassInfoKey, kLoginEnd}};
    for (const char* name : {"userId", "passToken", "cUserId"}) {
      if (auto value = KPCookieUtil::getSharedCookiesValueForKey(name, url)) info[name] = *value;
    }
  } else {
    if (!passInfo.empty()) LM_LOG_INFO("has passInfo but can not handle it");
    return false;
  }
  ended_ = true;
  // The result is taken once: a cookie left behind would end the next login
  // page of this session on its first load with this stale result.
  auto& store = platform::http::CookieStorage::shared();
  for (const auto& cookie : store.cookiesForURL(url)) {
    if (cookie.name == kPassInfoKey) store.deleteCookie(cookie);
  }
  auto self = shared_from_this();
  if (auto delegate = delegate_.lock()) delegate->webViewController(*this, info);
  hide();
  return true;
}

platform::Json KPWebViewController::redirectInfo(const std::string& url) {
  platform::Json info{{"url", url}};
  if (auto query = platform::http::queryOfURLText(url); query && !query->empty()) {
    info["query"] = std::string(*query);
  }
  if (auto hash = url.find('#'); hash != std::string::npos && hash + 1 < url.size()) {
    info["fragment"] = url.substr(hash + 1);
  }
  return info;
}

bool KPWebViewController::webViewShouldStartLoad(platform::ui::WebView& webView,
                                                 const platform::ui::WebRequest& request,
                                                 platform::ui::WebNavigationType) {
  if (checkNotificationResult(webView)) return false;
  if (ended_) return false;
  if (appRedirectURI_ && !appRedirectURI_->empty() && request.url.rfind(*appRedirectURI_, 0) == 0) {
    ended_ = true;
    auto self = shared_from_this();
    if (auto delegate = delegate_.lock()) delegate->webViewController(*this, redirectInfo(request.url));
    hide();
    return false;
  }
  return true;
}

void KPWebViewController::webViewDidFinishLoad(platform::ui::WebView& webView) {
  checkNotificationResult(webView);
  hideIndicator();
}

void KPWebViewController::webViewDidFailLoad(platform::ui::WebView&, const platform::Error&) {
  hideIndicator();
}

}  // namespace lumora
