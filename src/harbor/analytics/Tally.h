// The host app's analytics calls: starts the analytics controller once per
// process and hands it custom, predefined and crash events. The kit's
// identity ("com.harbor.tally.ios", 0.9.1, build 2) is registered with the
// platform as the kit class "Tally".
//
// Ownership: sharedInstance() lives for the process and owns the controller.
// Threading: any thread; start runs once. Failure: without a controller
// (an app extension, or a first fragment that could not be made) every
// call does nothing.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "harbor/HBRKit.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "harbor/analytics/BBXTallyPredefinedEvent.h"

namespace lumora {

class Tally {
 public:
  static Tally& sharedInstance();
  static HBRKitClassPtr kitClass();
  static std::string bundleIdentifier() { return "com.harbor.tally.ios"; }
  static std::string kitDisplayVersion() { return "0.9.1"; }
  static std::string kitBuildVersion() { return "2"; }

  // Starts the crash reporter when it is present (which starts this kit with
  // its beta token), else this kit without one.
  static void initializeIfNeeded();
  // Once per process; later calls change nothing.
  void startWithBetaToken(const std::optional<std::string>& betaToken,
                          BBXAnalyticsController::Collaborators collaborators = {});
  std::shared_ptr<BBXAnalyticsController> analyticsController() const;

  // Seconds since 1970 of the previous run's crash.
  static void logPreviousSessionCrashedOnDate(std::optional<double> date);
  static void logCustomEventWithName(const std::optional<std::string>& name,
                                     const platform::Json& customAttributes = nullptr);
  static void logPredefinedEvent(const BBXTallyPredefinedEvent& event);
  static void logInviteWithMethod(const BBXTallyText& method, const platform::Json& attributes = nullptr);
  static void logSignUpWithMethod(const BBXTallyText& method, const platform::Json& success,
                                  const platform::Json& attributes = nullptr);
  static void logLoginWithMethod(const BBXTallyText& method, const platform::Json& success,
                                 const platform::Json& attributes = nullptr);
  static void logShareWithMethod(const BBXTallyText& method, const BBXTallyText& contentName,
                                 const BBXTallyText& contentType, const BBXTallyText& contentId,
                                 const platform::Json& attributes = nullptr);
  static void logPurchaseWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                   const platform::Json& success, const BBXTallyText& itemName,
                                   const BBXTallyText& itemType, const BBXTallyText& itemId,
                                   const platform::Json& attributes = nullptr);
  static void logLevelStart(const BBXTallyText& levelName, const platform::Json& attributes = nullptr);
  static void logLevelEnd(const BBXTallyText& levelName, const platform::Json& score, const platform::Json& success,
                          const platform::Json& attributes = nullptr);
  static void logAddToCartWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                    const BBXTallyText& itemName, const BBXTallyText& itemType,
                                    const BBXTallyText& itemId, const platform::Json& attributes = nullptr);
  static void logStartCheckoutWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                        const platform::Json& itemCount, const platform::Json& attributes = nullptr);
  static void logRating(const platform::Json& rating, const BBXTallyText& contentName,
                        const BBXTallyText& contentType, const BBXTallyText& contentId,
                        const platform::Json& attributes = nullptr);
  static void logContentViewWithName(const BBXTallyText& contentName, const BBXTallyText& contentType,
                                     const BBXTallyText& contentId, const platform::Json& attributes = nullptr);
  static void logSearchWithQuery(const BBXTallyText& query, const platform::Json& attributes = nullptr);

 private:
  Tally() = default;
  mutable std::mutex mutex_;
  std::once_flag started_;
  std::shared_ptr<BBXAnalyticsController> analyticsController_;
};

}  // namespace lumora
