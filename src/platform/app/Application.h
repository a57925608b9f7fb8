// A stand-in for the running application as the phone presents it to code:
// the key window with its root screen (a plain screen at start), the status
// bar orientation and the screen's application frame, remote-notification
// registration, and opening URLs in other apps. Other apps are
// modelled by URL schemes registered here: canOpenURL answers whether an app
// takes the URL's scheme, openURL records the URL and hands it to that app's
// handler (posted to the main queue, as the platform switches apps
// asynchronously).
//
// Remote notifications: the app asks by types (badge, sound, alert), from
// system version 8.0 on through user-notification settings followed by
// registerForRemoteNotifications, below it through the older call by types;
// each side refuses the other's call, as the system's versions do. The push
// service's answers come from tests and the demo: deliverDeviceToken hands
// token bytes to the app delegate (only while registered), and
// deliverRemoteNotification a notification's payload; both are posted to
// the main queue.
//
// Ownership: shared() is process-wide, created on first use and never
// destroyed; the app delegate is held weakly. Threading: the scheme table,
// the record of opened URLs, the app state and the local notifications are
// locked and may be used from any thread; the window and orientation belong
// to the main thread. Failures: a URL without a registered scheme is not
// opened (false).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/dispatch/Clock.h"
#include "platform/ui/Window.h"

namespace platform {

namespace ui {
class ViewController;
}

// Launch options: a JSON object or null. The system relaunched the app for a
// location event when it holds this key.
inline constexpr const char* kApplicationLaunchOptionsLocationKey = "UIApplicationLaunchOptionsLocationKey";

// Posted on the default notification centre as the app's state changes, on
// the main thread (by the lifecycle calls below, or by whoever drives the
// app).
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationDidChangeStatusBarOrientationNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

enum class InterfaceOrientation {
  Unknown,
  Portrait,
  PortraitUpsideDown,
  LandscapeLeft,
  LandscapeRight,
};

bool isLandscape(InterfaceOrientation orientation);

// Where the app is: in front and taking events, in front but not taking
// them (an alert of the system, a call), or in the background.
enum class ApplicationState { Active, Inactive, Background };

// A notification the app schedules for the user (shown by the system at its
// fire date, in front or not).
struct LocalNotification {
  std::string alertBody;
  Clock::TimePoint fireDate;
  bool hasSound = false;
  int badgeNumber = 0;
};

// Remote-notification types, as bits.
enum RemoteNotificationType : unsigned {
  kRemoteNotificationTypeNone = 0,
  kRemoteNotificationTypeBadge = 1,
  kRemoteNotificationTypeSound = 2,
  kRemoteNotificationTypeAlert = 4,
};

// What the application tells the app. Every hook is optional; each runs on
// the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;

  // The push service's device token for this app.
  std::function<void(const Bytes& deviceToken)> didRegisterForRemoteNotificationsWithDeviceToken;
  // A remote notification the user opened (its payload).
  std::function<void(const Json& userInfo)> didReceiveRemoteNotification;
  // The push service refused the registration.
  std::function<void(const Error& error)> didFailToRegisterForRemoteNotificationsWithError;

  // Lifecycle, called by the Application's lifecycle calls below.
  std::function<bool(const Json& launchOptions)> didFinishLaunchingWithOptions;
  std::function<void()> willResignActive;
  std::function<void()> didEnterBackground;
  std::function<void()> willEnterForeground;
  std::function<void()> didBecomeActive;
  std::function<void()> didReceiveMemoryWarning;
  // A background fetch; the hook answers through the completion (0: new
  // data, 1: no data, 2: failed).
  std::function<void(std::function<void(int result)> completion)> performFetchWithCompletionHandler;
};

class Application {
 public:
  using URLHandler = std::function<void(const std::string& url)>;

  // The address of the app's own page in the system settings.
  static constexpr const char* kOpenSettingsURLString = "app-settings:";

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

  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate);
  // The delegate, while somebody keeps it.
  std::shared_ptr<ApplicationDelegate> delegate() const;

  // System version 8.0 and later: false (nothing recorded) below it.
  bool registerUserNotificationSettings(unsigned types);
  bool registerForRemoteNotifications();
  // Below system version 8.0: false (nothing recorded) from it on.
  bool registerForRemoteNotificationTypes(unsigned types);
  void unregisterForRemoteNotifications();
  // The types of the last settings registered (0 when none).
  unsigned currentUserNotificationTypes() const;
  // The types of the older call (0 when none, or when unregistered).
  unsigned enabledRemoteNotificationTypes() const;
  bool isRegisteredForRemoteNotifications() const;
  // How many registrations (either call) the app has asked for.
  int remoteNotificationRegistrationCount() const;

  // Tests and the demo, as the push service: hand `token` to the delegate;
  // false (nothing posted) unless registered for remote notifications.
  bool deliverDeviceToken(Bytes token);
  // The push service of a running system (the window's): once set, every
  // registration for remote notifications is answered with this token, as
  // the phone's system answers it. nullopt: nobody answers by himself.
  void setIssuedDeviceToken(std::optional<Bytes> token);
  // Hand an opened notification's payload to the delegate.
  void deliverRemoteNotification(Json userInfo);

  // The push service refused: posts the error to the delegate.
  void deliverRegistrationError(Error error);

  // The lifecycle as the system drives it (the entry point, the panel,
  // tests), on the main thread: each call sets the state, calls the
  // delegate's hook and posts the matching notifications.
  // finishLaunching answers what the delegate answers (true without a hook).
  bool finishLaunching(Json launchOptions = Json());
  // In front but no longer taking events (the desktop window lost the
  // focus); nothing unless active.
  void resignActive();
  // Resigns first when still active.
  void enterBackground();
  void becomeActive();
  void receiveMemoryWarning();
  // The system's background fetch: the delegate's answer, nullopt when it
  // has no hook or has not answered yet.
  std::optional<int> performFetch();

  // The wish for background fetches (seconds between them; recorded only).
  void setMinimumBackgroundFetchInterval(double seconds);
  double minimumBackgroundFetchInterval() const;

  std::shared_ptr<ui::Window> keyWindow() const { return keyWindow_; }
  // Sets the key window's root screen and shows it.
  void setRootViewController(std::shared_ptr<ui::ViewController> root);
  std::shared_ptr<ui::ViewController> rootViewController() const;

  // The app's state (Active at start). Whoever drives the app sets it and
  // posts the matching notification.
  ApplicationState applicationState() const;
  void setApplicationState(ApplicationState state);

  // Local notifications: the record of those scheduled, oldest first.
  void scheduleLocalNotification(LocalNotification notification);
  std::vector<LocalNotification> scheduledLocalNotifications() const;

  InterfaceOrientation statusBarOrientation() const { return orientation_; }
  // A change posts kApplicationDidChangeStatusBarOrientationNotification.
  void setStatusBarOrientation(InterfaceOrientation orientation);
  // The screen less the status bar, in portrait coordinates.
  ui::Rect applicationFrame() const { return applicationFrame_; }
  void setApplicationFrame(const ui::Rect& frame) { applicationFrame_ = frame; }

  // Back to a fresh state: active, no local notifications, no schemes,
  // nothing opened, no delegate, no
  // remote-notification registration nor issued token, a new window with a plain root
  // screen (as at start), portrait.
  void resetForTesting();

  // The scheme of a URL text ("kopassportsso://x" -> "kopassportsso"),
  // lower-cased; empty when it has none.
  static std::string schemeOf(const std::string& url);

 private:
  Application();
  // Posts `value` to the delegate's `hook` on the main queue.
  template <class Value>
  void postToDelegate(std::function<void(const Value&)> ApplicationDelegate::*hook, Value value);

  mutable std::mutex mutex_;
  std::map<std::string, URLHandler> schemes_;
  std::vector<std::string> opened_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  unsigned notificationTypes_ = 0;
  unsigned legacyTypes_ = 0;
  bool remoteRegistered_ = false;
  int remoteRegistrations_ = 0;
  std::optional<Bytes> issuedToken_;
  double fetchInterval_ = -1;  // never
  std::shared_ptr<ui::Window> keyWindow_;
  ApplicationState state_ = ApplicationState::Active;
  std::vector<LocalNotification> localNotifications_;
  InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
  ui::Rect applicationFrame_{0, 20, 320, 460};
};

}  // namespace platform
