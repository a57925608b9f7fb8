#include "stats/KoACrashReportUpload.h"

#include <fmt/format.h>

#include "stats/KoStatCoreParam.h"
#include "stats/KoStatUrlCoder.h"

namespace lumora {
namespace {

std::string milliseconds(double seconds) { return fmt::format("{:.0f}", seconds * 1000); }

}  // namespace

KoACrashReportUpload& KoACrashReportUpload::shareSingletion() {
  static KoACrashReportUpload* upload = new KoACrashReportUpload(KoANetworkUtils::sharedNetworkSingleton());
  return *upload;
}

KoACrashReportUpload::KoACrashReportUpload(KoANetworkUtils& transport) : transport_(transport), queue_(kQueueLabel) {}

KoANetworkUtils::Form KoACrashReportUpload::crashForm(const KoACrashMessage& message,
                                                      const std::string& deviceIdentifier) {
  std::string text = message.getCrashInfomation();
  KoANetworkUtils::Form form;
  form.emplace_back("app_id", KoStatCoreParam::getAppID());
  form.emplace_back("app_key", KoStatCoreParam::getAppToken());
  if (!deviceIdentifier.empty()) form.emplace_back("device_uuid", deviceIdentifier);
  form.emplace_back("device_os", KoStatCoreParam::getDevicePlatform());
  form.emplace_back("device_model", KoStatCoreParam::getDeviceModel());
  form.emplace_back("app_version", KoStatCoreParam::getAppVersion());
  form.emplace_back("app_channel", KoStatCoreParam::getChannel().value_or(""));
  form.emplace_back("app_start_time", milliseconds(message.getLuanchTime()));
  form.emplace_back("app_crash_time", milliseconds(message.getCrashTime()));
  form.emplace_back("crash_exception_type", message.getCrashType());
  form.emplace_back("crash_exception_desc",
                    fmt::format("{} {}", message.getCrashDesc(), KoStatUrlCoder::md5String(text).value_or("")));
  form.emplace_back("crash_callstack", std::move(text));
  return form;
}

void KoACrashReportUpload::sendCrashReport(const std::optional<KoACrashMessage>& message,
                                           std::weak_ptr<KoACrashReportUploadDelegate> delegate) {
  if (!message) return;
  {
    std::lock_guard lock(mutex_);
    iDelegate_ = std::move(delegate);
  }
  std::string deviceIdentifier = KoStatCoreParam::getDeviceIMEI();
  queue_.async([this, message = *message, deviceIdentifier] {
    platform::Json output;
    std::int32_t state =
        transport_.doPerformRequest(&KoANetworkUtils::sendCrashReport, crashForm(message, deviceIdentifier), output);
    std::shared_ptr<KoACrashReportUploadDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      delegate = iDelegate_.lock();
    }
    if (delegate && delegate->crashReportDidFinish) delegate->crashReportDidFinish(*this, state);
  });
}

}  // namespace lumora
