#include "push/KoPushServerSDKController.h"

#include <utility>

#include "platform/dispatch/MainQueue.h"
#include "push/KoPushIOSMessage.h"
#include "push/KoPushSDKCoreParam.h"
#include "push/KoPushSDKPreferenceUtil.h"

namespace lumora {
namespace {

using Form = KoPushNetworkServerUtils::Form;

std::string platformOf(const KoPushMessage& message) {
  return dynamic_cast<const KoPushIOSMessage*>(&message) ? "ios" : "android";
}

void appendMessage(Form& form, const KoPushMessage& message) {
  auto fields = message.getMessage();
  if (!fields) return;
  for (auto& field : *fields) form.push_back(std::move(field));
}

}  // namespace

KoPushServerSDKController& KoPushServerSDKController::sharedKoPushServerSDKSingleton() {
  static KoPushServerSDKController* shared = new KoPushServerSDKController();
  return *shared;
}

void KoPushServerSDKController::setDelegate(std::weak_ptr<KoPushServerSDKDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  iDelegate_ = std::move(delegate);
}

void KoPushServerSDKController::syncSDKFlag() {
  KoPushSDKPreferenceUtil::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_SERVICE_URL_FLAG,
                                             KoPushSDKCoreParam::getServiceURLFlag());
  KoPushSDKPreferenceUtil::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_SDK_VERSION, KoPushSDKCoreParam::getSDKVersion());
}

platform::ConcurrentQueue& KoPushServerSDKController::getTaskQueue() {
  std::call_once(queueOnce_, [this] {
    objTaskQueue_ = std::make_unique<platform::ConcurrentQueue>("com.quenby.kopush.server", kQueueThreads);
  });
  return *objTaskQueue_;
}

void KoPushServerSDKController::report(Report kind, std::int32_t result, const platform::Json& data) {
  std::shared_ptr<KoPushServerSDKDelegate> delegate;
  {
    std::lock_guard lock(delegateMutex_);
    delegate = iDelegate_.lock();
  }
  if (!delegate) return;
  const auto& hook =
      kind == Report::Send ? delegate->koPushServerSendWithResult : delegate->koPushServerStatsWithResult;
  if (hook) hook(result, data);
}

void KoPushServerSDKController::send(Operation operation, Form form, Report kind, std::string outputKey,
                                     std::string outputValue) {
  getTaskQueue().async([this, operation, form = std::move(form), kind, outputKey = std::move(outputKey),
                        outputValue = std::move(outputValue)] {
    platform::Json data = platform::Json::object();
    std::int32_t result = KoPushNetworkServerUtils::sharedNetworkSingleton().doPerformRequest(operation, form, data);
    if (!outputKey.empty()) data[outputKey] = outputValue;
    platform::MainQueue::main().async([this, kind, result, data = std::move(data)] { report(kind, result, data); });
  });
}

void KoPushServerSDKController::sendWithRegid(const std::string& regid, const Message& message) {
  if (regid.empty() || !message) return report(Report::Send, -5, platform::Json::object());
  sendWithRegidList({regid}, message);
}

void KoPushServerSDKController::sendWithRegidList(const std::vector<std::string>& regids, const Message& message) {
  sendToList(&KoPushNetworkServerUtils::sendWithRegID, "registration_id", "regid", regids, message);
}

void KoPushServerSDKController::sendWithAlias(const std::string& alias, const Message& message) {
  if (alias.empty() || !message) return report(Report::Send, -5, platform::Json::object());
  sendWithAliasList({alias}, message);
}

void KoPushServerSDKController::sendWithAliasList(const std::vector<std::string>& aliases, const Message& message) {
  sendToList(&KoPushNetworkServerUtils::sendWithAlias, "alias", "alias", aliases, message);
}

void KoPushServerSDKController::sendToList(Operation operation, const char* field, const char* outputKey,
                                           const std::vector<std::string>& targets, const Message& message) {
  if (targets.empty() || !message) return report(Report::Send, -5, platform::Json::object());
  std::string joined;
  for (std::size_t i = 0; i < targets.size(); ++i) joined += (i == 0 ? "" : ",") + targets[i];
  Form form{{field, joined}, {"platform", platformOf(*message)}};
  appendMessage(form, *message);
  send(operation, std::move(form), Report::Send, outputKey, joined);
}

void KoPushServerSDKController::sendWithTopic(const std::string& topic, const Message& message) {
  if (topic.empty() || !message) return report(Report::Send, -5, platform::Json::object());
  Form form{{"topic", topic}, {"platform", platformOf(*message)}};
  appendMessage(form, *message);
  send(&KoPushNetworkServerUtils::sendWithTopic, std::move(form), Report::Send);
}

void KoPushServerSDKController::getSendStatsWithStart(const std::string& start, const std::string& end) {
  if (start.empty() || end.empty() || !KoPushSDKCoreParam::isDistribution()) {
    return report(Report::Stats, -5, platform::Json::object());
  }
  Form form{{"start_date", start},
            {"end_date", end},
            {"restricted_package_name", KoPushSDKCoreParam::getAppPackageName()},
            {"platform", "ios"}};
  send(&KoPushNetworkServerUtils::statsMessageCounters, std::move(form), Report::Stats);
}

}  // namespace lumora
