#include "screens/shell/AppDelegate.h"

#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "feedback/QBLogUtil.h"
#include "platform/app/BackgroundTask.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/ImageCache.h"
#include "push/KoPushSDK.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMDeviceUtils.h"
#include "screens/shell/LMLocationAccess.h"
#include "screens/shell/LMLocationHelper.h"
#include "screens/shell/LMSynBaseViewController.h"
#include "stats/KoStatCrashReporter.h"
#include "stats/KoStatSDK.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"

namespace lumora {

namespace location = platform::location;
using platform::ReachabilityStatus;

namespace {
constexpr double kWakeUpDelaySeconds = 10.0;
constexpr double kBackgroundFetchInterval = 3600.0;
constexpr unsigned kNotificationTypes = platform::kRemoteNotificationTypeBadge |
                                        platform::kRemoteNotificationTypeSound |
                                        platform::kRemoteNotificationTypeAlert;

bool alwaysAuthorized() {
  return location::LocationManager::authorizationStatus() == location::AuthorizationStatus::AuthorizedAlways;
}
}  // namespace

AppDelegate::Services AppDelegate::Services::standard() {
  Services s;
  s.loadUniqueDeviceIdentifier = &LMDeviceUtils::loadUniqueDeviceIdentifier;
  s.setLogDelegate = [](const std::shared_ptr<LMLogDelegate>& sink) { LMLogUtil::setLogDelegate(sink); };
  s.startLog = &QBLogUtil::startLog;
  s.registerKoStat = [](const std::string& channel) { KoStatSDK::registerKoStat(channel); };
  s.registerKoPush = [](std::weak_ptr<KoPushSDKDelegate> delegate) { KoPushSDK::registerKoPush(std::move(delegate)); };
  s.setNeedVerifyPhone = [](bool need) { QBPassportsManager::sharedManager()->setNeedVerifyPhone(need); };
  s.setUploadPolicy = &KoStatSDK::setUploadPolicy;
  s.enabledCrashReportWithMode = &KoStatCrashReporter::enabledCrashReportWithMode;
  s.startReachabilityMonitoring = [] { platform::ReachabilityMonitor::sharedMonitor().startMonitoring(); };
  s.registerLumoraDeviceInfo = &LMDeviceUtils::registerLumoraDeviceInfo;
  s.uploadLogFiles = [](std::function<void()> completion) { QBLogUtil::uploadLogFiles(std::move(completion)); };
  s.bindDeviceToken = &KoPushSDK::bindDeviceToken;
  s.setAlias = &KoPushSDK::setAlias;
  s.openAppNotify = &KoPushSDK::openAppNotify;
  s.signedInUserId = [] { return QBPassportsManager::sharedManager()->userId(); };
  s.clearMemoryCaches = [] { platform::ui::ImageCache::sharedImageCache().clearMemory(); };
  return s;
}

std::shared_ptr<AppDelegate> AppDelegate::create(Services services) {
  std::shared_ptr<AppDelegate> delegate(new AppDelegate(std::move(services)));
  delegate->self_ = delegate;
  delegate->install();
  return delegate;
}

AppDelegate::AppDelegate(Services services) : services_(std::move(services)) {}

AppDelegate::~AppDelegate() {
  if (reachabilityToken_) platform::ReachabilityMonitor::sharedMonitor().removeListener(reachabilityToken_);
}

void AppDelegate::install() {
  auto weak = self_;
  auto with = [weak](auto member) {
    return [weak, member](auto&&... args) {
      if (auto self = weak.lock()) ((*self).*member)(std::forward<decltype(args)>(args)...);
    };
  };
  didFinishLaunchingWithOptions = [weak](const platform::Json& options) {
    auto self = weak.lock();
    return self ? self->didFinishLaunching(options) : true;
  };
  didEnterBackground = with(&AppDelegate::enterBackground);
  didBecomeActive = with(&AppDelegate::becomeActive);
  didReceiveMemoryWarning = [weak] {
    auto self = weak.lock();
    if (self && self->services_.clearMemoryCaches) self->services_.clearMemoryCaches();
  };
  performFetchWithCompletionHandler = [](std::function<void(int)> completion) {
    if (completion) completion(0);
  };
  didRegisterForRemoteNotificationsWithDeviceToken = [weak](const platform::Bytes& token) {
    auto self = weak.lock();
    if (!self) return;
    // The token addresses this device's notifications: told, never shown.
    QB_LOG_INFO("APNS token: {}", kLMLogHidden);
    if (self->services_.bindDeviceToken) self->services_.bindDeviceToken(token);
  };
  didFailToRegisterForRemoteNotificationsWithError = [](const platform::Error& error) {
    QB_LOG_ERROR("APNS Error: {}", error.description());
  };
  didReceiveRemoteNotification = [weak](const platform::Json& userInfo) {
    auto self = weak.lock();
    if (!self) return;
    QB_LOG_INFO("APNS Remote Notify {}", LMLoggableJSONText(userInfo));
    std::optional<std::string> id;
    if (userInfo.is_object() && userInfo.contains("_id_") && userInfo["_id_"].is_string()) {
      id = userInfo["_id_"].get<std::string>();
    }
    if (self->services_.openAppNotify) self->services_.openAppNotify(id);
  };
  koPushRequestSuccWithSelector = with(&AppDelegate::pushSucceeded);
  koPushRequestErrWithSelector = with(&AppDelegate::pushFailed);
}

bool AppDelegate::didFinishLaunching(const platform::Json& launchOptions) {
  auto call = [](const auto& step, auto&&... args) {
    if (step) step(std::forward<decltype(args)>(args)...);
  };
  // The screens ask for location access through the helper, which also
  // restarts monitoring.
  setLocationAccessRequester([] { LMLocationHelper::sharedHelper()->startBackgroundMonitorLocation(); });
  call(services_.loadUniqueDeviceIdentifier);
  call(services_.setLogDelegate, logDelegate_);
  call(services_.startLog);
  call(services_.registerKoStat, std::string("App Store"));
  call(services_.registerKoPush, std::weak_ptr<KoPushSDKDelegate>(self_.lock()));
  call(services_.setNeedVerifyPhone, true);
  call(services_.setUploadPolicy, 0, 0);
  call(services_.enabledCrashReportWithMode, 0);
  call(services_.startReachabilityMonitoring);
  platform::Application::shared().setMinimumBackgroundFetchInterval(kBackgroundFetchInterval);
  registerNotification();
  auto weak = self_;
  platform::MainQueue::main().asyncAfter(platform::seconds(kWakeUpDelaySeconds), [weak, launchOptions] {
    if (auto self = weak.lock()) self->handlerBackgroundTaskWithLaunch(launchOptions);
  });
  return true;
}

void AppDelegate::registerNotification() {
  auto& app = platform::Application::shared();
  // The settings call exists from system version 8.0 on; below it the
  // older call by types.
  if (!app.registerUserNotificationSettings(kNotificationTypes)) app.registerForRemoteNotificationTypes(kNotificationTypes);
}

void AppDelegate::handlerBackgroundTaskWithLaunch(const platform::Json& launchOptions) {
  locationHelper_ = LMLocationHelper::sharedHelper();
  const bool locationLaunch = launchOptions.is_object() &&
                              launchOptions.contains(platform::kApplicationLaunchOptionsLocationKey) &&
                              !launchOptions[platform::kApplicationLaunchOptionsLocationKey].is_null();
  if (!locationLaunch) {
    if (alwaysAuthorized()) locationHelper_->startMonitorLocation();
    return;
  }
  isFromBackground_ = true;
  startMonitorSignifLocation();
  if (services_.pages.gallery) galleryVC_ = services_.pages.gallery();
  if (services_.pages.contacts) contactsVC_ = services_.pages.contacts();

  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  auto weak = self_;
  const auto status = monitor.networkReachabilityStatus();
  platform::MainQueue::main().async([weak, status] {
    if (auto self = weak.lock()) self->backgroundHandlerWithStatus(status);
  });
  // A listener of our own beside those of the pages (which keep theirs).
  if (reachabilityToken_) monitor.removeListener(reachabilityToken_);
  reachabilityToken_ = monitor.addListener([weak](ReachabilityStatus changed) {
    if (auto self = weak.lock()) self->backgroundHandlerWithStatus(changed);
  });
}

void AppDelegate::startMonitorSignifLocation() {
  auto manager = location::LocationManager::create();
  LMLocationHelper::configureForBackground(*manager, locationDelegate_);
  manager->startMonitoringSignificantLocationChanges();
  manager->startUpdatingLocation();
  locationManager_ = std::move(manager);
}

void AppDelegate::backgroundHandlerWithStatus(ReachabilityStatus status) {
  if (status != ReachabilityStatus::ReachableViaWWAN && status != ReachabilityStatus::ReachableViaWiFi) return;
  auto& config = LMAppSettingConfig::sharedConfig();
  if (galleryVC_) {
    if (status == ReachabilityStatus::ReachableViaWiFi) {
      if (config.autoBackupGallery()) galleryVC_->backupGalleryOnBackground();
    } else if (config.autoBackupGallery() && config.autoBackupGalleryOnWWAN()) {
      galleryVC_->backupGalleryOnBackground();
    } else {
      galleryVC_->cancelBackgroundBackupGalleryForWWAN();
    }
  }
  if (contactsVC_ && config.autoBackupContacts()) contactsVC_->syncContactsOnBackground();
}

void AppDelegate::enterBackground() {
  // Each entry holds a task of its own, ended by its own upload or expiry:
  // a second entry before the first upload ends leaves the first one's
  // ending intact.
  auto task = std::make_shared<platform::BackgroundTask::Identifier>(platform::BackgroundTask::kInvalid);
  auto endTask = [task] {
    platform::BackgroundTask::end(*task);
    *task = platform::BackgroundTask::kInvalid;
  };
  *task = platform::BackgroundTask::begin("applicationDidEnterBackground", endTask);
  if (services_.uploadLogFiles) {
    services_.uploadLogFiles(endTask);
  } else {
    endTask();
  }
  if (locationHelper_) locationHelper_->restartBackgroundMonitorLocation();
}

void AppDelegate::becomeActive() {
  if (services_.registerLumoraDeviceInfo) services_.registerLumoraDeviceInfo();
  checkBackupSwitchStatus();
}

void AppDelegate::checkBackupSwitchStatus() {
  auto& config = LMAppSettingConfig::sharedConfig();
  auto& center = platform::NotificationCenter::defaultCenter();
  if (!alwaysAuthorized()) {
    config.setAutoBackupGallery(false);
    config.setAutoBackupContacts(false);
    center.post(LMSynBaseViewController::kLocationChangeToDenyNotification);
    return;
  }
  if (config.tryOpenBackupGallerySwitch() && !config.autoBackupGallery()) config.setAutoBackupGallery(true);
  if (config.tryOpenBackupContactsSwitch() && !config.autoBackupContacts()) config.setAutoBackupContacts(true);
  center.post(LMSynBaseViewController::kLocationChangeToAlwaysNotification);
}

std::string AppDelegate::getOperateType(const std::string& selector) {
  static const std::pair<const char*, const char*> kLabels[] = {
      {"registerKoPush:", "客户端注册设备"},   {"unregisterKoPush", "客户端设备注销"},
      {"bindDeviceToken:", "绑定 PushDeviceToken"}, {"setAlias:", "客户端设置别名"},
      {"unsetAlias:", "客户端取消别名"},       {"subscribe:", "客户端设置主题"},
      {"unsubscribe:", "客户端取消主题"},      {"openAppNotify:", "统计客户端"},
  };
  for (const auto& [name, label] : kLabels) {
    if (selector == name) return label;
  }
  return {};
}

void AppDelegate::pushSucceeded(const std::string& selector, const platform::Json& data) {
  QB_LOG_INFO("APNS Success({}): {}", getOperateType(selector), LMLoggableJSONText(data));
  if (selector != "bindDeviceToken:") return;
  // Without a signed-in user there is no alias to bind: the service would
  // refuse an empty one.
  auto user = services_.signedInUserId ? services_.signedInUserId() : std::nullopt;
  if (user && !user->empty() && services_.setAlias) services_.setAlias(*user);
}

void AppDelegate::pushFailed(const std::string& selector, std::int32_t error, const platform::Json& data) {
  QB_LOG_ERROR("APNS Error({}|{}): {}", error, getOperateType(selector), LMLoggableJSONText(data));
}

}  // namespace lumora
