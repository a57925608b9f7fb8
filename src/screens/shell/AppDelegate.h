// The application's delegate: starts the app's services in a fixed order at
// launch, runs the automatic gallery backup and contacts sync after the
// system relaunches the app for a location change, uploads the logs and
// keeps location monitoring alive in the background, re-checks the
// location permission each time the app becomes active, forwards the cloud
// SDK's log records to the app's log, and answers the push client.
//
// Launch: 1 the keychain group, 2 the SDK log sink, 3 the file logger,
// 4 statistics (channel "App Store"), 5 push (this delegate), 6 phone
// verification at login, 7 the statistics upload policy 0/0, 8 crash
// reports in mode 0, 9 reachability, 10 background fetch every hour,
// 11 user notifications (badge, sound, alert), 12 the wake-up handler
// 10 s later on the clock, 13 YES.
//
// The background rule, per reachability status: on mobile data the
// gallery backs up only with the automatic and the mobile-data switches
// on (else a running backup is given up); on Wi-Fi with the automatic
// switch on; then, on either, the contacts sync with its automatic switch
// on (the mobile-data switch of contacts is not consulted). Other statuses
// start and cancel nothing.
//
// Ownership: create() makes it; whoever makes it keeps it (the Application
// and the push client hold it weakly). It owns the off-screen pages of a
// wake-up, its SDK log sink and its reachability listener (removed when it
// goes). Threading: main thread. Failures: none reported; a background task
// ends when its own log upload ends or its time runs out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "applog/AppLogDelegate.h"
#include "platform/app/Application.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/location/LocationManager.h"
#include "push/KoPushSDKDelegate.h"
#include "screens/common/LMBackgroundPages.h"

namespace lumora {

class LMLocationHelper;

class AppDelegate : public platform::ApplicationDelegate, public KoPushSDKDelegate {
 public:
  // The services the delegate drives, each replaceable (tests log them).
  struct Services {
    std::function<void()> loadUniqueDeviceIdentifier;
    std::function<void(const std::shared_ptr<LMLogDelegate>&)> setLogDelegate;
    std::function<void()> startLog;
    std::function<void(const std::string& channel)> registerKoStat;
    std::function<void(std::weak_ptr<KoPushSDKDelegate>)> registerKoPush;
    std::function<void(bool)> setNeedVerifyPhone;
    std::function<void(std::int32_t policy, std::int32_t interval)> setUploadPolicy;
    std::function<void(std::int32_t mode)> enabledCrashReportWithMode;
    std::function<void()> startReachabilityMonitoring;
    std::function<void()> registerLumoraDeviceInfo;
    std::function<void(std::function<void()> completion)> uploadLogFiles;
    std::function<void(const std::optional<platform::Bytes>&)> bindDeviceToken;
    std::function<void(const std::string&)> setAlias;
    std::function<void(const std::optional<std::string>&)> openAppNotify;
    std::function<std::optional<std::string>()> signedInUserId;
    // Drops memory caches on a memory warning (the shared image cache's).
    std::function<void()> clearMemoryCaches;
    // The pages a location wake-up builds off screen (the app installs them).
    LMBackgroundPageFactories pages;

    // The real ones.
    static Services standard();
  };

  static std::shared_ptr<AppDelegate> create(Services services = Services::standard());
  ~AppDelegate() override;

  // The rule for one reachability status (-1 unknown, 0 none, 1 mobile
  // data, 2 Wi-Fi).
  void backgroundHandlerWithStatus(platform::ReachabilityStatus status);
  // The permission re-check of each activation.
  void checkBackupSwitchStatus();
  // Operation label of a push call's selector ("" for an unknown one).
  static std::string getOperateType(const std::string& selector);

  bool isFromBackground() const { return isFromBackground_; }
  const std::shared_ptr<LMBackgroundGalleryPage>& galleryVC() const { return galleryVC_; }
  const std::shared_ptr<LMBackgroundContactsPage>& contactsVC() const { return contactsVC_; }
  const std::shared_ptr<platform::location::LocationManager>& locationManager() const { return locationManager_; }
  const std::shared_ptr<LMLocationHelper>& locationHelper() const { return locationHelper_; }

 private:
  explicit AppDelegate(Services services);
  void install();

  bool didFinishLaunching(const platform::Json& launchOptions);
  void registerNotification();
  void handlerBackgroundTaskWithLaunch(const platform::Json& launchOptions);
  void startMonitorSignifLocation();
  void enterBackground();
  void becomeActive();
  void pushSucceeded(const std::string& selector, const platform::Json& data);
  void pushFailed(const std::string& selector, std::int32_t error, const platform::Json& data);

  Services services_;
  std::weak_ptr<AppDelegate> self_;
  std::shared_ptr<AppLogDelegate> logDelegate_ = std::make_shared<AppLogDelegate>();
  std::shared_ptr<platform::location::LocationManagerDelegate> locationDelegate_ =
      std::make_shared<platform::location::LocationManagerDelegate>();
  bool isFromBackground_ = false;
  std::shared_ptr<LMLocationHelper> locationHelper_;
  std::shared_ptr<platform::location::LocationManager> locationManager_;
  std::shared_ptr<LMBackgroundGalleryPage> galleryVC_;
  std::shared_ptr<LMBackgroundContactsPage> contactsVC_;
  platform::ReachabilityMonitor::ListenerToken reachabilityToken_ = 0;
};

}  // namespace lumora
