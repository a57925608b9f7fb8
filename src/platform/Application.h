// A stand-in for the running application as the phone presents it to code:
// the key window with its root screen (a plain screen at start), the status
// bar orientation and the screen's application frame, and opening URLs in
// other apps. Other apps are
// modelled by URL schemes registered here: canOpenURL answers whether an app
// takes the URL's scheme, openURL records the URL and hands it to that app's
// handler (posted to the main queue, as the platform switches apps
// asynchronously).
//
// Ownership: shared() is process-wide, created on first use and never
// destroyed. Threading: the scheme table and the record of opened URLs are
// locked and may be used from any thread; the window and orientation belong
// to the main thread. Failures: a URL without a registered scheme is not
// opened (false).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/View.h"

namespace platform {

class ViewController;

// Posted on the default notification centre by whoever drives the app (the
// app shell, tests) as the app's state changes, on the main thread.
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";

enum class InterfaceOrientation {
  Unknown,
  Portrait,
  PortraitUpsideDown,
  LandscapeLeft,
  LandscapeRight,
};

bool isLandscape(InterfaceOrientation orientation);

class Application {
 public:
  using URLHandler = std::function<void(const std::string& url)>;

  static Application& shared();

  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Registers an app that opens URLs of `scheme` (compared without case).
  void registerURLScheme(const std::string& scheme, URLHandler handler = {});
  void unregisterURLScheme(const std::string& scheme);
  bool canOpenURL(const std::string& url) const;
  // Records the URL and posts it to its app's handler; false (nothing
  // recorded) when no app takes its scheme.
  bool openURL(const std::string& url);
  std::vector<std::string> openedURLs() const;

  std::shared_ptr<Window> keyWindow() const { return keyWindow_; }
  // Sets the key window's root screen and shows it.
  void setRootViewController(std::shared_ptr<ViewController> root);
  std::shared_ptr<ViewController> rootViewController() const;

  InterfaceOrientation statusBarOrientation() const { return orientation_; }
  void setStatusBarOrientation(InterfaceOrientation orientation) { orientation_ = orientation; }
  // The screen less the status bar, in portrait coordinates.
  Rect applicationFrame() const { return applicationFrame_; }
  void setApplicationFrame(const Rect& frame) { applicationFrame_ = frame; }

  // Back to a fresh state: no schemes, nothing opened, a new window with a
  // plain root screen (as at start), portrait.
  void resetForTesting();

  // The scheme of a URL text ("kopassportsso://x" -> "kopassportsso"),
  // lower-cased; empty when it has none.
  static std::string schemeOf(const std::string& url);

 private:
  Application();

  mutable std::mutex mutex_;
  std::map<std::string, URLHandler> schemes_;
  std::vector<std::string> opened_;
  std::shared_ptr<Window> keyWindow_;
  InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
  Rect applicationFrame_{0, 20, 320, 460};
};

}  // namespace platform
