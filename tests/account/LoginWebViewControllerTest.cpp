// The login web screen: the first page it loads, the result cookies and
// redirects it intercepts, and how it ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "account/KPCookieUtil.h"
#include "account/KPWebViewController.h"
#include "account/LoginTestSupport.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/CookieStorage.h"

namespace {

using lumora::KPWebViewController;
using platform::Json;

struct WebViewDelegate : lumora::KPWebViewControllerDelegate {
  std::vector<Json> infos;
  int cancels = 0;
  int failures = 0;
  void webViewController(KPWebViewController&, const Json& info) override { infos.push_back(info); }
  void webViewController(KPWebViewController&, const platform::Error&) override { ++failures; }
  void webViewControllerDidCancel(KPWebViewController&) override { ++cancels; }
};

class LoginWebViewControllerTest : public logintest::ScreenTest {
 protected:
  std::shared_ptr<KPWebViewController> shown(const Json& params = nullptr,
                                             std::optional<std::string> redirect = std::nullopt,
                                             std::vector<platform::http::Cookie> cookies = {}) {
    auto controller = KPWebViewController::create("https://account.test/pass/page", params, cookies,
                                                  redirect, delegate);
    EXPECT_TRUE(controller->show());
    return controller;
  }

  // The page sets a cookie for its own host, as a response would.
  static void pageSets(const std::string& name, const std::string& value) {
    platform::http::Cookie cookie;
    cookie.name = name;
    cookie.value = value;
    cookie.domain = "account.test";
    platform::http::CookieStorage::shared().setCookie(cookie);
  }

  std::shared_ptr<WebViewDelegate> delegate = std::make_shared<WebViewDelegate>();
};

TEST_F(LoginWebViewControllerTest, FirstPageCarriesEscapedParamsUntilAnEmptyValueAndTheCookies) {
  EXPECT_EQ(KPWebViewController::urlWithParams("https://h/p", nullptr), "https://h/p");
  EXPECT_EQ(KPWebViewController::urlWithParams("https://h/p", Json::object()), "https://h/p");
  // Keys walk in the object's order; "c" is empty, so "d" is never reached.
  Json params{{"a", "x y&z=1"}, {"b", "/+"}, {"c", ""}, {"d", "never"}};
  EXPECT_EQ(KPWebViewController::urlWithParams("https://h/p", params),
            "https://h/p?a=x%20y%26z%3D1&b=%2F%2B");

  platform::http::Cookie userId;
  userId.name = "userId";
  userId.value = "42";
  userId.domain = ".account.test";
  platform::http::Cookie token = userId;
  token.name = "serviceToken";
  token.value = "t";
  auto controller = shown(Json{{"sid", "lumora"}}, std::nullopt, {userId, token});
  auto request = controller->webView()->request();
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->url, "https://account.test/pass/page?sid=lumora");
  EXPECT_EQ(request->header("Cookie"), "userId=42; serviceToken=t");
  EXPECT_TRUE(controller->indicatorView()->isAnimating());
  controller->webView()->finishLoad();
  EXPECT_FALSE(controller->indicatorView()->isAnimating());
}

TEST_F(LoginWebViewControllerTest, LoginEndCookieHandsBackTheCookiesFoundAndHides) {
  auto controller = shown();
  pageSets("passInfo", "login-end");
  pageSets("userId", "10001");
  pageSets("cUserId", "enc");
  controller->webView()->finishLoad();

  ASSERT_EQ(delegate->infos.size(), 1u);
  EXPECT_EQ(delegate->infos[0],
            (Json{{"passInfo", "login-end"}, {"userId", "10001"}, {"cUserId", "enc"}}));
  EXPECT_FALSE(controller->isVisible());
  EXPECT_GE(controller->webView()->stopCount(), 1);
  // A navigation after the end reports nothing more.
  EXPECT_FALSE(controller->webView()->navigate("https://account.test/next"));
  EXPECT_EQ(delegate->infos.size(), 1u);

  // The result was taken: the next login page of the session stays open.
  auto next = shown();
  next->webView()->finishLoad();
  EXPECT_TRUE(next->webView()->navigate("https://account.test/next"));
  EXPECT_EQ(delegate->infos.size(), 1u);
  EXPECT_TRUE(next->isVisible());
}

TEST_F(LoginWebViewControllerTest, NeedReloginIsHandedBackAloneAndUnknownPassInfoGoesOn) {
  auto controller = shown();
  pageSets("passInfo", "something-else");
  EXPECT_TRUE(controller->webView()->navigate("https://account.test/next"));
  EXPECT_TRUE(delegate->infos.empty());

  pageSets("passInfo", "x-need-relogin-y");
  pageSets("userId", "10001");
  EXPECT_FALSE(controller->webView()->navigate("https://account.test/again"));
  ASSERT_EQ(delegate->infos.size(), 1u);
  EXPECT_EQ(delegate->infos[0], (Json{{"passInfo", "need-relogin"}}));
  EXPECT_FALSE(lumora::KPCookieUtil::getSharedCookiesValueForKey("passInfo"));
}

TEST_F(LoginWebViewControllerTest, RedirectToTheAppIsInterceptedWithQueryAndFragment) {
  auto controller = shown(nullptr, std::string("app://done"));
  EXPECT_TRUE(controller->webView()->navigate("https://account.test/step"));
  EXPECT_FALSE(controller->webView()->navigate("app://done/cb?code=1#token=2"));
  ASSERT_EQ(delegate->infos.size(), 1u);
  EXPECT_EQ(delegate->infos[0],
            (Json{{"url", "app://done/cb?code=1#token=2"}, {"query", "code=1"}, {"fragment", "token=2"}}));
  EXPECT_FALSE(controller->isVisible());

  EXPECT_EQ(KPWebViewController::redirectInfo("app://done"), (Json{{"url", "app://done"}}));
}

TEST_F(LoginWebViewControllerTest, WithoutARedirectURINothingIsInterceptedAndCancelEndsOnce) {
  auto controller = shown();
  EXPECT_TRUE(controller->webView()->navigate("app://done?x=1"));
  controller->webView()->failLoad(platform::Error("NSURLErrorDomain", -1009));
  EXPECT_EQ(delegate->failures, 0);  // the screen never reports failures itself
  EXPECT_TRUE(delegate->infos.empty());

  EXPECT_TRUE(controller->tapLeftBarButton());
  EXPECT_EQ(delegate->cancels, 1);
  EXPECT_FALSE(controller->isVisible());
  EXPECT_EQ(platform::Application::shared().rootViewController()->presentedViewController(), nullptr);
  controller->cancel();
  EXPECT_EQ(delegate->cancels, 1);
}

}  // namespace
