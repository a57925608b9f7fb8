#include "stats/KoStatSDKController.h"

#include <fmt/format.h>

#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/Random.h"
#include "platform/device/Reachability.h"
#include "stats/KoAURLIntercept.h"
#include "stats/KoStatCoreParam.h"
#include "stats/KoStatNetHandle.h"
#include "stats/KoStatPreferenceUtil.h"
#include "utils/LMLogRedaction.h"

namespace lumora {
namespace {

using Pref = KoStatPreferenceUtil;

constexpr std::int64_t kDefaultSamplePeriod = 300;
constexpr std::int32_t kShortestDelayMs = 61000;
constexpr std::int32_t kLongestDelayMs = 604800999;
constexpr double kEmptyUploadSpacing = 86400;

double nowSeconds() { return platform::Clock::current()->secondsSince1970(); }

std::uint32_t drawRandom() {
  platform::Bytes bytes = platform::randomBytes(4);
  std::uint32_t value = 0;
  for (auto byte : bytes) value = (value << 8) | byte;
  return value;
}

// A repeating timer's tick: re-arms itself, then fires, while the
// controller lives.
struct Tick {
  KoStatSDKController* controller;
  std::weak_ptr<int> life;
  platform::Clock::Duration period;
  void (KoStatSDKController::*fire)();
  void operator()() const {
    if (life.expired()) return;
    platform::MainQueue::main().asyncAfter(period, *this);
    (controller->*fire)();
  }
};

}  // namespace

KoStatSDKController& KoStatSDKController::shareKoStatSDKSingletion() {
  static KoStatSDKController* controller = new KoStatSDKController(
      KoAPointStore::shareSingletion(), KoAPointUpload::shareSingletion(), KoStatCrashController::shareSingletion());
  return *controller;
}

KoStatSDKController::KoStatSDKController(KoAPointStore& pool, KoAPointUpload& upload, KoStatCrashController& crash)
    : objLocalPoint_(pool), objMakePackage_(upload), crash_(crash), random_(drawRandom),
      delegate_(std::make_shared<KoAMakePackagePoolDelegate>()) {
  delegate_->sendPointDidFinish = [this](KoAPointUpload&, std::int32_t state, const platform::Json& content,
                                         std::uint64_t uploadID) { sendPointDidFinish(state, content, uploadID); };
  delegate_->sendNetRequestDidFinish = [this](KoAPointUpload&, std::int32_t state, const platform::Json& content,
                                              std::uint64_t uploadID) {
    sendNetRequestDidFinish(state, content, uploadID);
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  foreground_ = center.addObserver(platform::kApplicationWillEnterForegroundNotification,
                                   [this](const std::string&, const platform::Json&) { doAppWillEnterForeground(); });
  background_ = center.addObserver(platform::kApplicationDidEnterBackgroundNotification,
                                   [this](const std::string&, const platform::Json&) { doAppDidEnterBackground(); });
  objLocalPoint_.load();
  nSession_ = objLocalPoint_.beginTime(kSessionName);
}

KoStatSDKController::~KoStatSDKController() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(foreground_);
  center.removeObserver(background_);
  if (interceptClass_) platform::http::unregisterClass(interceptClass_);
  // The uploads already queued still report; the delegate goes with us.
  objMakePackage_.getTaskQueue().sync([] {});
}

void KoStatSDKController::onMain(std::function<void()> task) {
  platform::MainQueue::main().async([life = std::weak_ptr<int>(life_), task = std::move(task)] {
    if (!life.expired()) task();
  });
}

void KoStatSDKController::doAppWillEnterForeground() {
  objLocalPoint_.load();
  if (nSendType_ == 0 || nSendType_ == 1) commit();
  nSession_ = objLocalPoint_.beginTime(kSessionName);
}

void KoStatSDKController::doAppDidEnterBackground() {
  setEndTimeWithKey(kSessionName, 6, 0);
  objLocalPoint_.save();
}

void KoStatSDKController::setSendType(std::int32_t type) {
  nSendType_ = type;
  bool committed = analyticsBasePoint();
  if (!committed && type == 0) commit();
  if (type == 3) sendPointTask();
  sendNetRequestTask();
}

void KoStatSDKController::setChannel(std::optional<std::string> channel) {
  KoStatCoreParam::setChannel(std::move(channel));
}

void KoStatSDKController::enableAnalyticsNetwork(bool enable, std::weak_ptr<KoAAnalyticsNetworkDelegate> delegate) {
  if (!enable) {
    if (interceptClass_) platform::http::unregisterClass(interceptClass_);
    return;
  }
  {
    std::lock_guard lock(delegateMutex_);
    iNetworkDelegate_ = std::move(delegate);
  }
  if (!interceptClass_) {
    interceptClass_ = KoAURLIntercept::protocolClass(
        [this](const std::string& url, double start, double cost, std::int64_t stateCode) {
          setNetworkWithURL(url, start, cost, stateCode, std::nullopt);
        });
  }
  platform::http::registerClass(interceptClass_);
}

void KoStatSDKController::commit() {
  objMakePackage_.sendPoint(objLocalPoint_.getSendPoint(), delegate_);
  if (crash_.isSyncUpload()) crash_.uploadCrashReport();
}

void KoStatSDKController::checkAndCommit() {
  if (nSendType_ == 1) {
    commit();
  } else if (nSendType_ == 2 && platform::Reachability::reachabilityForLocalWiFi().currentReachabilityStatus() !=
                                    platform::NetworkStatus::NotReachable) {
    commit();
  }
}

void KoStatSDKController::commitNetRequestList() {
  const double time = nowSeconds();
  const double banTime = Pref::getDoubleWithKey(kBanTimeKey);
  if (banTime > 0 && time < banTime) return;
  const std::int32_t rate = Pref::getIntWithKey(kSampleKey);
  // A remainder in 0..9999: a rate of 10000 always passes, a rate of n
  // passes about n times in 10000.
  const auto remainder = static_cast<std::int32_t>(random_() % 10000u);
  if (rate >= 1 && rate < remainder) return;
  auto samples = objLocalPoint_.getNetRequestList();
  if (samples.items.empty()) {
    if (time - Pref::getDoubleWithKey(kUploadTimeKey) < kEmptyUploadSpacing) return;
    Pref::setKeyDoubleValue(kUploadTimeKey, time);
  }
  objMakePackage_.sendNetRequest(std::move(samples), delegate_);
}

void KoStatSDKController::sendPointDidFinish(std::int32_t state, const platform::Json& content,
                                             std::uint64_t uploadID) {
  platform::consoleLog(fmt::format("point({}) {}", state, LMLoggableJSONText(content)));
  onMain([this, state, content, uploadID] {
    if (state == 0) objLocalPoint_.cleanSendPoint(uploadID);
    if (KoStatCoreParam::getServiceURLFlag() != "online") {
      platform::NotificationCenter::defaultCenter().post(kDebugNotification, content);
    }
  });
}

void KoStatSDKController::sendNetRequestDidFinish(std::int32_t state, const platform::Json& content,
                                                  std::uint64_t uploadID) {
  platform::consoleLog(fmt::format("net({}) {}", state, LMLoggableJSONText(content)));
  onMain([this, state, content, uploadID] {
    if (state == 0) {
      objLocalPoint_.cleanNetRequest(uploadID);
      if (content.is_object()) {
        auto number = [&](const char* name) -> const platform::Json* {
          auto it = content.find(name);
          return it != content.end() && it->is_number() ? &*it : nullptr;
        };
        if (auto* rate = number("sample_rate")) Pref::setKeyIntValue(kSampleKey, rate->get<std::int32_t>());
        if (auto* delay = number("delay")) Pref::setKeyIntValue(kDelayKey, delay->get<std::int32_t>());
        if (auto* ban = number("ban_time")) Pref::setKeyDoubleValue(kBanTimeKey, ban->get<double>());
      }
    }
    if (KoStatCoreParam::getServiceURLFlag() != "online") {
      platform::NotificationCenter::defaultCenter().post(kDebugNotification, content);
    }
  });
}

bool KoStatSDKController::setPointWithKey(const std::string& key, KoAPointValue value,
                                          std::optional<std::string> category, std::int32_t type,
                                          std::int32_t upload, std::optional<platform::Json> params) {
  if (key.empty()) return false;
  KoAPointLocalModel point;
  point.nPointType = type;
  point.nUploadType = upload;
  point.strKey = key;
  point.strCategory = std::move(category);
  point.objValue = std::move(value);
  point.dicParam = std::move(params);
  point.nTime = nowSeconds();
  objLocalPoint_.addPoint(std::move(point));
  if (upload == 1) checkAndCommit();
  return true;
}

double KoStatSDKController::setBeginTimeWithKey(const std::string& name) { return objLocalPoint_.beginTime(name); }

bool KoStatSDKController::setEndTimeWithKey(const std::string& name, std::int32_t type, std::int32_t upload) {
  auto span = objLocalPoint_.endTime(name);
  if (!span) return false;
  std::optional<platform::Json> params;
  if (type == 6) params = platform::Json{{"env", KoStatCoreParam::getNetType()}};
  return setPointWithKey(name, *span, std::nullopt, type, upload, std::move(params));
}

bool KoStatSDKController::setNetworkWithURL(const std::string& url, double start, double cost,
                                            std::int64_t stateCode, std::optional<std::string> desc) {
  std::optional<std::string> kept = url;
  std::shared_ptr<KoAAnalyticsNetworkDelegate> delegate;
  {
    std::lock_guard lock(delegateMutex_);
    delegate = iNetworkDelegate_.lock();
  }
  if (delegate && delegate->kostatAnalyticsNetwork) kept = delegate->kostatAnalyticsNetwork(url);
  if (!kept || kept->empty()) return false;
  KoANetRequestModel sample;
  sample.strURL = *kept;
  sample.strNetType = KoStatCoreParam::getNetType();
  sample.nStart = start;
  sample.nCost = cost;
  sample.nStateCode = stateCode;
  sample.strDesc = std::move(desc);
  sample.strDNS = KoStatNetHandle::getIPAddressByHostName(*kept);
  objLocalPoint_.addNetPoint(std::move(sample));
  return true;
}

bool KoStatSDKController::analyticsBasePoint() {
  const std::string version = KoStatCoreParam::getAppVersion();
  auto stored = Pref::getStringWithKey(kAppVersionKey).value_or("");
  if (!stored.empty() && stored == version) return false;
  Pref::setKeyStringValue(kAppVersionKey, version);
  auto basic = [this](const char* key, std::string value) {
    setPointWithKey(key, std::move(value), std::nullopt, 7, 0, std::nullopt);
  };
  if (!stored.empty()) {
    basic("upgrade", "1");
  } else {
    basic("model", KoStatCoreParam::getDeviceModel());
    basic("OS", KoStatCoreParam::getDevicePlatform());
    basic("IMEI", KoStatCoreParam::getDeviceIMEI());
    basic("operator", KoStatCoreParam::getOperate());
    basic("new", "1");
    basic("locale", KoStatCoreParam::getSystemLanguage());
  }
  commit();
  return true;
}

void KoStatSDKController::armTimer(std::int64_t period, void (KoStatSDKController::*fire)()) {
  // A timer of no period would fire without end.
  if (period <= 0) return;
  Tick tick{this, life_, platform::seconds(static_cast<double>(period)), fire};
  platform::MainQueue::main().asyncAfter(tick.period, tick);
}

void KoStatSDKController::sendPointTask() { armTimer(nSendInterval_, &KoStatSDKController::commit); }

void KoStatSDKController::sendNetRequestTask() {
  const std::int32_t delay = Pref::getIntWithKey(kDelayKey);
  const std::int64_t period =
      delay >= kShortestDelayMs && delay <= kLongestDelayMs ? delay / 1000 : kDefaultSamplePeriod;
  armTimer(period, &KoStatSDKController::commitNetRequestList);
}

}  // namespace lumora
