#include "platform/app/Application.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/ViewController.h"

namespace platform {

bool isLandscape(InterfaceOrientation orientation) {
  return orientation == InterfaceOrientation::LandscapeLeft ||
         orientation == InterfaceOrientation::LandscapeRight;
}

Application& Application::shared() {
  static Application* instance = new Application();
  return *instance;
}

namespace {
// Every app has a root screen; the stand-in starts with a plain one.
std::shared_ptr<ui::Window> newKeyWindow() {
  auto window = std::make_shared<ui::Window>(ui::Rect{0, 0, 320, 480});
  auto root = std::make_shared<ui::ViewController>();
  window->setRootViewController(root);
  root->becomeVisibleAsRoot();
  return window;
}
}  // namespace

Application::Application() : keyWindow_(newKeyWindow()) {}

std::string Application::schemeOf(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return {};
  std::string scheme = url.substr(0, colon);
  if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return {};
  for (char& c : scheme) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return {};
    c = static_cast<char>(std::tolower(u));
  }
  return scheme;
}

void Application::registerURLScheme(const std::string& scheme, URLHandler handler) {
  std::string key = schemeOf(scheme + ":");
  if (key.empty()) return;
  std::lock_guard lock(mutex_);
  schemes_[key] = std::move(handler);
}

void Application::unregisterURLScheme(const std::string& scheme) {
  std::lock_guard lock(mutex_);
  schemes_.erase(schemeOf(scheme + ":"));
}

bool Application::canOpenURL(const std::string& url) const {
  std::string scheme = schemeOf(url);
  std::lock_guard lock(mutex_);
  return !scheme.empty() && schemes_.count(scheme) > 0;
}

bool Application::openURL(const std::string& url) {
  URLHandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = schemes_.find(schemeOf(url));
    if (it == schemes_.end()) return false;
    opened_.push_back(url);
    handler = it->second;
  }
  if (handler) MainQueue::main().async([handler, url] { handler(url); });
  return true;
}

std::vector<std::string> Application::openedURLs() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

void Application::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

namespace {
// Whether the configured system version ("9.3") is 8.0 or later.
bool hasNotificationSettings() { return Device::systemVersionIsAtLeast(8.0); }
}  // namespace

bool Application::registerUserNotificationSettings(unsigned types) {
  if (!hasNotificationSettings()) return false;
  std::lock_guard lock(mutex_);
  notificationTypes_ = types;
  return true;
}

bool Application::registerForRemoteNotifications() {
  if (!hasNotificationSettings()) return false;
  std::optional<Bytes> token;
  {
    std::lock_guard lock(mutex_);
    remoteRegistered_ = true;
    ++remoteRegistrations_;
    token = issuedToken_;
  }
  if (token) deliverDeviceToken(std::move(*token));
  return true;
}

bool Application::registerForRemoteNotificationTypes(unsigned types) {
  if (hasNotificationSettings()) return false;
  std::optional<Bytes> token;
  {
    std::lock_guard lock(mutex_);
    legacyTypes_ = types;
    remoteRegistered_ = true;
    ++remoteRegistrations_;
    token = issuedToken_;
  }
  if (token) deliverDeviceToken(std::move(*token));
  return true;
}

void Application::setIssuedDeviceToken(std::optional<Bytes> token) {
  std::lock_guard lock(mutex_);
  issuedToken_ = std::move(token);
}

void Application::unregisterForRemoteNotifications() {
  std::lock_guard lock(mutex_);
  remoteRegistered_ = false;
  legacyTypes_ = 0;
}

unsigned Application::currentUserNotificationTypes() const {
  std::lock_guard lock(mutex_);
  return notificationTypes_;
}

unsigned Application::enabledRemoteNotificationTypes() const {
  std::lock_guard lock(mutex_);
  return legacyTypes_;
}

bool Application::isRegisteredForRemoteNotifications() const {
  std::lock_guard lock(mutex_);
  return remoteRegistered_;
}

int Application::remoteNotificationRegistrationCount() const {
  std::lock_guard lock(mutex_);
  return remoteRegistrations_;
}

template <class Value>
void Application::postToDelegate(std::function<void(const Value&)> ApplicationDelegate::*hook, Value value) {
  std::weak_ptr<ApplicationDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_;
  }
  MainQueue::main().async([delegate, hook, value = std::move(value)] {
    auto strong = delegate.lock();
    if (strong && (*strong).*hook) ((*strong).*hook)(value);
  });
}

void Application::deliverRemoteNotification(Json userInfo) {
  postToDelegate(&ApplicationDelegate::didReceiveRemoteNotification, std::move(userInfo));
}

bool Application::deliverDeviceToken(Bytes token) {
  if (!isRegisteredForRemoteNotifications()) return false;
  postToDelegate(&ApplicationDelegate::didRegisterForRemoteNotificationsWithDeviceToken, std::move(token));
  return true;
}

void Application::deliverRegistrationError(Error error) {
  postToDelegate(&ApplicationDelegate::didFailToRegisterForRemoteNotificationsWithError, std::move(error));
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

bool Application::finishLaunching(Json launchOptions) {
  auto delegate = this->delegate();
  if (!delegate || !delegate->didFinishLaunchingWithOptions) return true;
  return delegate->didFinishLaunchingWithOptions(launchOptions);
}

void Application::resignActive() {
  if (applicationState() != ApplicationState::Active) return;
  auto delegate = this->delegate();
  if (delegate && delegate->willResignActive) delegate->willResignActive();
  NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification);
  setApplicationState(ApplicationState::Inactive);
}

void Application::enterBackground() {
  auto& center = NotificationCenter::defaultCenter();
  auto delegate = this->delegate();
  resignActive();
  setApplicationState(ApplicationState::Background);
  if (delegate && delegate->didEnterBackground) delegate->didEnterBackground();
  center.post(kApplicationDidEnterBackgroundNotification);
}

void Application::becomeActive() {
  auto& center = NotificationCenter::defaultCenter();
  auto delegate = this->delegate();
  if (applicationState() == ApplicationState::Background) {
    if (delegate && delegate->willEnterForeground) delegate->willEnterForeground();
    center.post(kApplicationWillEnterForegroundNotification);
  }
  setApplicationState(ApplicationState::Active);
  if (delegate && delegate->didBecomeActive) delegate->didBecomeActive();
  center.post(kApplicationDidBecomeActiveNotification);
}

void Application::receiveMemoryWarning() {
  auto delegate = this->delegate();
  if (delegate && delegate->didReceiveMemoryWarning) delegate->didReceiveMemoryWarning();
  NotificationCenter::defaultCenter().post(kApplicationDidReceiveMemoryWarningNotification);
}

std::optional<int> Application::performFetch() {
  auto delegate = this->delegate();
  if (!delegate || !delegate->performFetchWithCompletionHandler) return std::nullopt;
  auto answer = std::make_shared<std::optional<int>>();
  delegate->performFetchWithCompletionHandler([answer](int result) { *answer = result; });
  return *answer;
}

void Application::setMinimumBackgroundFetchInterval(double seconds) {
  std::lock_guard lock(mutex_);
  fetchInterval_ = seconds;
}

double Application::minimumBackgroundFetchInterval() const {
  std::lock_guard lock(mutex_);
  return fetchInterval_;
}

void Application::setRootViewController(std::shared_ptr<ui::ViewController> root) {
  keyWindow_->setRootViewController(root);
  if (root && !root->isVisible()) root->becomeVisibleAsRoot();
}

std::shared_ptr<ui::ViewController> Application::rootViewController() const {
  return keyWindow_->rootViewController();
}

ApplicationState Application::applicationState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Application::setApplicationState(ApplicationState state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

void Application::scheduleLocalNotification(LocalNotification notification) {
  std::lock_guard lock(mutex_);
  localNotifications_.push_back(std::move(notification));
}

std::vector<LocalNotification> Application::scheduledLocalNotifications() const {
  std::lock_guard lock(mutex_);
  return localNotifications_;
}

void Application::resetForTesting() {
  {
    std::lock_guard lock(mutex_);
    schemes_.clear();
    opened_.clear();
    delegate_.reset();
    notificationTypes_ = 0;
    legacyTypes_ = 0;
    remoteRegistered_ = false;
    remoteRegistrations_ = 0;
    issuedToken_.reset();
    fetchInterval_ = -1;
  }
  keyWindow_ = newKeyWindow();
  orientation_ = InterfaceOrientation::Portrait;
  applicationFrame_ = ui::Rect{0, 20, 320, 460};
  state_ = ApplicationState::Active;
  localNotifications_.clear();
}

void Application::setStatusBarOrientation(InterfaceOrientation orientation) {
  if (orientation_ == orientation) return;
  orientation_ = orientation;
  NotificationCenter::defaultCenter().post(kApplicationDidChangeStatusBarOrientationNotification);
}

}  // namespace platform
