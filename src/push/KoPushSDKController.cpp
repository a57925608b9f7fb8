#include "push/KoPushSDKController.h"

#include <cstdlib>
#include <utility>

#include "platform/app/Application.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "push/KoPushSDKCoreParam.h"
#include "push/KoPushSDKPreferenceUtil.h"

namespace lumora {
namespace {

using Prefs = KoPushSDKPreferenceUtil;

constexpr unsigned kAllNotificationTypes = platform::kRemoteNotificationTypeBadge |
                                           platform::kRemoteNotificationTypeSound |
                                           platform::kRemoteNotificationTypeAlert;

// A reply value as text: a string as it is, a number in decimal; nothing
// for anything else.
std::optional<std::string> textForm(const platform::Json& data, const char* key) {
  auto it = data.find(key);
  if (it == data.end()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number()) return it->dump();
  return std::nullopt;
}

// Stores a text form under `key`; an empty or missing one removes the key.
void storeText(const char* key, const platform::Json& data, const char* field) {
  Prefs::setKeyStringValue(key, textForm(data, field));
}

void addStored(platform::Json& data, const char* field, const char* key) {
  std::string value = Prefs::storedString(key);
  if (!value.empty()) data[field] = value;
}

bool hasString(const platform::Json& data, const char* key) {
  auto it = data.find(key);
  return it != data.end() && it->is_string() && !it->get_ref<const std::string&>().empty();
}

}  // namespace

KoPushSDKController& KoPushSDKController::sharedKoPushSDKSingleton() {
  static KoPushSDKController* shared = new KoPushSDKController();
  return *shared;
}

platform::SerialQueue& KoPushSDKController::getTaskQueue() {
  std::call_once(queueOnce_, [this] { objTaskQueue_ = std::make_unique<platform::SerialQueue>("com.quenby.kopush"); });
  return *objTaskQueue_;
}

void KoPushSDKController::resetForTesting() {
  iDelegate_.reset();
  nNotifyType_ = 0;
  blnRegisterKoPush_ = blnRegisterToken_ = blnUnregisterToken_ = false;
}

void KoPushSDKController::resetKoPushInfo() {
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_USER_ID, std::nullopt);
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_USER_SECURITY, std::nullopt);
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_USER_TOKEN, std::nullopt);
}

void KoPushSDKController::resetRegisterInfo() {
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_REG_AT, std::nullopt);
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_REG_ID, std::nullopt);
  Prefs::setKeyStringValue(KOPUSH_SDK_S_ASSIGNED_REG_SECRET, std::nullopt);
  Prefs::setKeyArrayValue(KOPUSH_SDK_C_REGISTER_ALIAS_LIST, std::nullopt);
  Prefs::setKeyArrayValue(KOPUSH_SDK_C_REGISTER_TOPIC_LIST, std::nullopt);
}

void KoPushSDKController::clearDeviceToken() {
  Prefs::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN, std::nullopt);
}

void KoPushSDKController::syncSDKFlag() {
  std::string previous = Prefs::storedString(KOPUSH_SDK_C_ASSIGNED_SERVICE_URL_FLAG);
  std::string current = KoPushSDKCoreParam::getServiceURLFlag();
  if (!previous.empty() && !current.empty() && previous != current) {
    resetKoPushInfo();
    resetRegisterInfo();
    clearDeviceToken();
  }
  Prefs::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_SERVICE_URL_FLAG, current);
  Prefs::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_SDK_VERSION, KoPushSDKCoreParam::getSDKVersion());
}

void KoPushSDKController::send(Operation operation, KoPushNetWorkUtils::Form form, Outcome done) {
  getTaskQueue().async([operation, form = std::move(form), done = std::move(done)] {
    platform::Json data = platform::Json::object();
    std::int32_t result = KoPushNetWorkUtils::sharedNetworkSingleton().doPerformRequest(operation, form, data);
    platform::MainQueue::main().async([result, data = std::move(data), done]() mutable { done(result, data); });
  });
}

void KoPushSDKController::requestRegisterKoPushWithLogName(const LogName& logName) {
  std::string userId = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_USER_ID);
  if (!userId.empty()) {
    platform::Json data{{"userId", userId}};
    addStored(data, "ssecurity", KOPUSH_SDK_S_ASSIGNED_USER_SECURITY);
    addStored(data, "token", KOPUSH_SDK_S_ASSIGNED_USER_TOKEN);
    koPushRequestResult(0, logName, data);
    registerAPNS();
    return;
  }
  if (blnRegisterKoPush_) return koPushRequestResult(kBusy, logName, platform::Json::object());
  blnRegisterKoPush_ = true;
  KoPushNetWorkUtils::Form form{
      {"appid", KoPushSDKCoreParam::getAppID()},
      {"apptoken", KoPushSDKCoreParam::getAppToken()},
      {"appversion", KoPushSDKCoreParam::getAppVersion()},
      {"packagename", KoPushSDKCoreParam::getAppPackageName()},
      {"sdkversion", KoPushSDKCoreParam::getSDKVersion()},
      {"devid", KoPushSDKCoreParam::getDeviceID()},
      {"model", KoPushSDKCoreParam::getDeviceModel()},
      {"platform", KoPushSDKCoreParam::getDevicePlatform()},
  };
  send(&KoPushNetWorkUtils::requestKoPush, std::move(form), [this, logName](std::int32_t result, platform::Json& data) {
    if (result == 0) {
      storeText(KOPUSH_SDK_S_ASSIGNED_USER_ID, data, "userId");
      storeText(KOPUSH_SDK_S_ASSIGNED_USER_SECURITY, data, "ssecurity");
      storeText(KOPUSH_SDK_S_ASSIGNED_USER_TOKEN, data, "token");
      registerAPNS();
    }
    koPushRequestResult(result, logName, data);
    blnRegisterKoPush_ = false;
  });
}

void KoPushSDKController::registerAPNS() {
  if (nNotifyType_ == 0) nNotifyType_ = kAllNotificationTypes;
  auto& application = platform::Application::shared();
  if (std::strtod(platform::Device::systemVersion().c_str(), nullptr) >= 8.0) {
    application.registerUserNotificationSettings(nNotifyType_);
    application.registerForRemoteNotifications();
  } else {
    application.registerForRemoteNotificationTypes(nNotifyType_);
  }
}

void KoPushSDKController::reqeustRegisterToken(const std::string& token, const LogName& logName) {
  bindToken(token, logName, false);
}

void KoPushSDKController::bindToken(const std::string& token, const LogName& logName, bool silent) {
  if (token.empty()) return koPushRequestResult(kBadArgument, logName, platform::Json::object());
  std::string userId = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_USER_ID);
  if (userId.empty()) return koPushRequestResult(kNoUser, logName, platform::Json::object());
  std::string regid = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_REG_ID);
  // The same token needs no request while its registration is kept; after a
  // registration reset whose re-binding failed it is bound again.
  if (!silent && !regid.empty() && Prefs::storedString(KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN) == token) {
    platform::Json data = platform::Json::object();
    addStored(data, "regat", KOPUSH_SDK_S_ASSIGNED_REG_AT);
    addStored(data, "regid", KOPUSH_SDK_S_ASSIGNED_REG_ID);
    addStored(data, "regsecret", KOPUSH_SDK_S_ASSIGNED_REG_SECRET);
    return koPushRequestResult(0, logName, data);
  }
  if (blnRegisterToken_) return koPushRequestResult(kBusy, logName, platform::Json::object());
  blnRegisterToken_ = true;
  KoPushNetWorkUtils::Form form{{"devicetoken", token}, {"userid", userId}};
  appendCommonFields(form, regid);
  send(&KoPushNetWorkUtils::updateToken, std::move(form),
       [this, token, logName](std::int32_t result, platform::Json& data) {
         if (result == 0 && hasString(data, "regid") && hasString(data, "regsecret")) {
           storeText(KOPUSH_SDK_S_ASSIGNED_REG_AT, data, "regat");
           storeText(KOPUSH_SDK_S_ASSIGNED_REG_ID, data, "regid");
           storeText(KOPUSH_SDK_S_ASSIGNED_REG_SECRET, data, "regsecret");
           Prefs::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN, token);
         }
         koPushRequestResult(result, logName, data);
         blnRegisterToken_ = false;
       });
}

void KoPushSDKController::appendCommonFields(KoPushNetWorkUtils::Form& form, const std::string& regid) {
  if (!regid.empty()) form.emplace_back("regid", regid);
  form.emplace_back("appid", KoPushSDKCoreParam::getAppID());
  form.emplace_back("apptoken", KoPushSDKCoreParam::getAppToken());
  form.emplace_back("appversion", KoPushSDKCoreParam::getAppVersion());
  form.emplace_back("packagename", KoPushSDKCoreParam::getAppPackageName());
  form.emplace_back("resourceid", KoPushSDKCoreParam::getResourceID());
}

void KoPushSDKController::koPushRequestResult(std::int32_t result, const LogName& logName,
                                              const platform::Json& data) {
  if (!logName || logName->empty()) return;
  if (result == 0) {
    auto delegate = iDelegate_.lock();
    if (delegate && delegate->koPushRequestSuccWithSelector) delegate->koPushRequestSuccWithSelector(*logName, data);
    return;
  }
  operateError(data);
  auto delegate = iDelegate_.lock();
  if (delegate && delegate->koPushRequestErrWithSelector) {
    delegate->koPushRequestErrWithSelector(*logName, result, data);
  }
}

void KoPushSDKController::operateError(const platform::Json& data) {
  if (!data.is_object()) return;
  auto code = data.find("code");
  if (code == data.end() || !code->is_number() || code->get<double>() != kRegistrationResetCode) return;
  resetRegisterInfo();
  std::string token = Prefs::storedString(KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN);
  if (!token.empty()) bindToken(token, std::nullopt, true);
}

}  // namespace lumora
