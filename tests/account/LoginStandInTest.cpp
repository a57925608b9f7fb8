// The headless screens, web view and application that the login web views
// run on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "account/LoginTestSupport.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"

namespace {

using platform::Application;
using platform::MainQueue;
using platform::ui::WebRequest;
using platform::ui::WebView;

struct RecordingDelegate : platform::ui::WebViewDelegate {
  std::vector<std::string> events;
  std::string refusePrefix;
  bool webViewShouldStartLoad(WebView&, const WebRequest& request,
                              platform::ui::WebNavigationType) override {
    events.push_back("should " + request.url);
    return refusePrefix.empty() || request.url.rfind(refusePrefix, 0) != 0;
  }
  void webViewDidStartLoad(WebView&) override { events.push_back("start"); }
  void webViewDidFinishLoad(WebView&) override { events.push_back("finish"); }
  void webViewDidFailLoad(WebView&, const platform::Error& e) override {
    events.push_back("fail " + std::to_string(e.code()));
  }
};

TEST(LoginWebViewStandIn, AsksTheDelegateAndKeepsOnlyAllowedLoads) {
  WebView view;
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->refusePrefix = "app://";
  view.setDelegate(delegate);

  EXPECT_TRUE(view.loadRequest({"https://a/x", {{"Cookie", "a=1; b=2"}}}));
  EXPECT_EQ(view.request()->header("cookie"), "a=1; b=2");
  EXPECT_FALSE(view.navigate("app://done?x=1"));
  EXPECT_EQ(view.request()->url, "https://a/x");  // a refused navigation changes nothing
  view.finishLoad();
  view.finishLoad();  // not loading any more: no second report
  EXPECT_TRUE(view.navigate("https://a/y"));
  view.failLoad(platform::Error("d", -1009));

  EXPECT_EQ(delegate->events,
            (std::vector<std::string>{"should https://a/x", "start", "should app://done?x=1",
                                      "finish", "should https://a/y", "start", "fail -1009"}));
  ASSERT_EQ(view.loadedRequests().size(), 2u);

  delegate.reset();  // a dead delegate is not called
  EXPECT_TRUE(view.navigate("app://anything"));
}

TEST(LoginWebViewStandIn, PresentsAndDismissesThroughANavigationController) {
  auto root = std::make_shared<platform::ui::ViewController>();
  auto screen = std::make_shared<platform::ui::ViewController>();
  auto navigation = platform::ui::NavigationController::withRoot(screen);
  root->becomeVisibleAsRoot();

  EXPECT_TRUE(root->presentViewController(navigation, true));
  EXPECT_FALSE(root->presentViewController(std::make_shared<platform::ui::ViewController>(), true));
  EXPECT_TRUE(screen->isVisible());
  EXPECT_TRUE(screen->isViewLoaded());
  EXPECT_EQ(screen->navigationController(), navigation);

  // The wrapped screen dismisses itself: the presenter lets go of the stack.
  EXPECT_TRUE(screen->dismissViewController(true));
  EXPECT_FALSE(screen->isVisible());
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_FALSE(screen->dismissViewController(true));
}

class LoginApplicationStandIn : public logintest::ScreenTest {};

TEST_F(LoginApplicationStandIn, OpensOnlyRegisteredSchemesAndHandsThemOverOnTheMainQueue) {
  auto& app = Application::shared();
  std::vector<std::string> received;
  app.registerURLScheme("CallerApp", [&](const std::string& url) { received.push_back(url); });

  EXPECT_TRUE(app.canOpenURL("callerapp://authorize?code=1"));
  EXPECT_FALSE(app.canOpenURL("other://x"));
  EXPECT_FALSE(app.canOpenURL("no scheme"));
  EXPECT_FALSE(app.openURL("other://x"));
  EXPECT_TRUE(app.openURL("callerapp://authorize?code=1"));
  EXPECT_TRUE(received.empty());  // the switch to the other app is asynchronous
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(received, std::vector<std::string>{"callerapp://authorize?code=1"});
  EXPECT_EQ(app.openedURLs(), std::vector<std::string>{"callerapp://authorize?code=1"});

  ASSERT_NE(app.rootViewController(), nullptr);  // there is always a screen to present from
  EXPECT_TRUE(app.rootViewController()->isVisible());
}

}  // namespace
