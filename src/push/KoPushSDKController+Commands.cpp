// The commands on a registration: unbinding, aliases, topics and
// opened-notification reports.
#include <algorithm>
#include <utility>

#include "platform/app/Application.h"
#include "push/KoPushSDKController.h"
#include "push/KoPushSDKPreferenceUtil.h"

namespace lumora {
namespace {

using Prefs = KoPushSDKPreferenceUtil;

bool listHolds(const char* key, const std::string& name) {
  auto list = Prefs::getArrayWithKey(key);
  return list && std::find(list->begin(), list->end(), platform::Json(name)) != list->end();
}

}  // namespace

void KoPushSDKController::requestUnregisterTokenWithLogName(const LogName& logName) {
  std::string regid = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_REG_ID);
  if (regid.empty() || Prefs::storedString(KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN).empty()) {
    return koPushRequestResult(0, logName, platform::Json::object());
  }
  if (blnUnregisterToken_) return koPushRequestResult(kBusy, logName, platform::Json::object());
  blnUnregisterToken_ = true;
  KoPushNetWorkUtils::Form form;
  appendCommonFields(form, regid);
  send(&KoPushNetWorkUtils::unregisterToken, std::move(form), [this, logName](std::int32_t result, platform::Json& data) {
    // The local registration goes whatever the service answered.
    platform::Application::shared().unregisterForRemoteNotifications();
    resetRegisterInfo();
    clearDeviceToken();
    koPushRequestResult(result, logName, data);
    blnUnregisterToken_ = false;
  });
}

void KoPushSDKController::nameCommand(Operation operation, const char* field, const char* listKey, bool adds,
                                      const std::string& name, const LogName& logName) {
  if (name.empty()) return koPushRequestResult(kBadArgument, logName, platform::Json::object());
  std::string regid = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_REG_ID);
  if (regid.empty()) return koPushRequestResult(kNoRegistration, logName, platform::Json::object());
  KoPushNetWorkUtils::Form form{{field, name}};
  appendCommonFields(form, regid);
  send(operation, std::move(form), [this, field, listKey, adds, name, logName](std::int32_t result, platform::Json& data) {
    data[field] = name;
    // The list records what the service accepted: a failed unset keeps the
    // name, so that it can be unset again.
    if (result == 0) {
      if (adds) {
        Prefs::setKeyAppendArrayItem(listKey, name);
      } else {
        Prefs::setKeyRemoveArrayItem(listKey, name);
      }
    }
    koPushRequestResult(result, logName, data);
  });
}

void KoPushSDKController::requestSetAlias(const std::string& alias, const LogName& logName) {
  nameCommand(&KoPushNetWorkUtils::requestSetAlias, "alias", KOPUSH_SDK_C_REGISTER_ALIAS_LIST, true, alias, logName);
}

void KoPushSDKController::requestUnSetAlias(const std::string& alias, const LogName& logName) {
  nameCommand(&KoPushNetWorkUtils::requestUnsetAlias, "alias", KOPUSH_SDK_C_REGISTER_ALIAS_LIST, false, alias,
              logName);
}

void KoPushSDKController::requestSubscribe(const std::string& topic, const LogName& logName) {
  if (!topic.empty() && !Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_REG_ID).empty() &&
      listHolds(KOPUSH_SDK_C_REGISTER_TOPIC_LIST, topic)) {
    return koPushRequestResult(0, logName, platform::Json{{"topic", topic}});
  }
  nameCommand(&KoPushNetWorkUtils::requestSubscribe, "topic", KOPUSH_SDK_C_REGISTER_TOPIC_LIST, true, topic, logName);
}

void KoPushSDKController::requestUnsubscribe(const std::string& topic, const LogName& logName) {
  nameCommand(&KoPushNetWorkUtils::requestUnsubscribe, "topic", KOPUSH_SDK_C_REGISTER_TOPIC_LIST, false, topic,
              logName);
}

void KoPushSDKController::requestAppNotifyMsgID(const std::optional<std::string>& messageId,
                                                const LogName& logName) {
  std::string regid = Prefs::storedString(KOPUSH_SDK_S_ASSIGNED_REG_ID);
  if (regid.empty()) return koPushRequestResult(kNoRegistration, logName, platform::Json::object());
  KoPushNetWorkUtils::Form form{{"type", "bar:click"}};
  if (messageId && !messageId->empty()) form.emplace_back("messageid", *messageId);
  appendCommonFields(form, regid);
  send(&KoPushNetWorkUtils::requestNotify, std::move(form),
       [this, logName](std::int32_t result, platform::Json& data) { koPushRequestResult(result, logName, data); });
}

}  // namespace lumora
