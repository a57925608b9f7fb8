#include "harbor/analytics/Tally.h"

#include "harbor/Harbor.h"
#include "harbor/analytics/BBXTallyCustomEvent.h"

namespace lumora {

Tally& Tally::sharedInstance() {
  static Tally* instance = new Tally();
  return *instance;
}

HBRKitClassPtr Tally::kitClass() {
  static const auto& tally = *new HBRKitClassPtr([] {
    auto kit = std::make_shared<HBRKitClass>();
    kit->name = "Tally";
    kit->adoptsHBRKit = true;
    kit->bundleIdentifier = &Tally::bundleIdentifier;
    kit->kitDisplayVersion = &Tally::kitDisplayVersion;
    kit->kitBuildVersion = &Tally::kitBuildVersion;
    kit->initializeIfNeeded = &Tally::initializeIfNeeded;
    return HBRKitClassPtr(kit);
  }());
  return tally;
}

void Tally::initializeIfNeeded() {
  HBRKitClassPtr blackbox = HBRKitClassNamed("Blackbox");
  if (blackbox && blackbox->adoptsHBRKit && blackbox->initializeIfNeeded) {
    blackbox->initializeIfNeeded();
    return;
  }
  sharedInstance().startWithBetaToken(std::nullopt);
}

void Tally::startWithBetaToken(const std::optional<std::string>& betaToken,
                               BBXAnalyticsController::Collaborators collaborators) {
  std::call_once(started_, [&] {
    const auto root = BBXAnalyticsController::defaultRootDirectoryURL();
    if (!BBXAnalyticsController::supported()) return;
    Harbor& harbor = collaborators.harbor ? *collaborators.harbor : Harbor::sharedSDK();
    auto controller =
        BBXAnalyticsController::make(harbor.executionIdentifier(), root, betaToken, std::move(collaborators));
    {
      std::lock_guard lock(mutex_);
      analyticsController_ = controller;
    }
    if (!controller) return;
    controller->logAppInstalled();
    controller->logAppLaunched();
  });
}

std::shared_ptr<BBXAnalyticsController> Tally::analyticsController() const {
  std::lock_guard lock(mutex_);
  return analyticsController_;
}

void Tally::logPreviousSessionCrashedOnDate(std::optional<double> date) {
  if (auto controller = sharedInstance().analyticsController()) controller->logPreviousSessionCrashedOnDate(date);
}

void Tally::logCustomEventWithName(const std::optional<std::string>& name, const platform::Json& customAttributes) {
  auto controller = sharedInstance().analyticsController();
  if (!controller) return;
  auto event = BBXTallyCustomEvent::make(name, customAttributes);
  controller->logCustomEvent(event ? std::optional<BBXTallyEvent>(*event) : std::nullopt);
}

void Tally::logPredefinedEvent(const BBXTallyPredefinedEvent& event) {
  if (auto controller = sharedInstance().analyticsController()) controller->logPredefinedEvent(event);
}

void Tally::logInviteWithMethod(const BBXTallyText& method, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyInviteEvent(method, attributes));
}

void Tally::logSignUpWithMethod(const BBXTallyText& method, const platform::Json& success,
                                const platform::Json& attributes) {
  logPredefinedEvent(BBXTallySignUpEvent(method, success, attributes));
}

void Tally::logLoginWithMethod(const BBXTallyText& method, const platform::Json& success,
                               const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyLoginEvent(method, success, attributes));
}

void Tally::logShareWithMethod(const BBXTallyText& method, const BBXTallyText& contentName,
                               const BBXTallyText& contentType, const BBXTallyText& contentId,
                               const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyShareEvent(method, contentName, contentType, contentId, attributes));
}

void Tally::logPurchaseWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                 const platform::Json& success, const BBXTallyText& itemName,
                                 const BBXTallyText& itemType, const BBXTallyText& itemId,
                                 const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyPurchaseEvent(price, currency, success, itemName, itemId, itemType, attributes));
}

void Tally::logLevelStart(const BBXTallyText& levelName, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyLevelStartEvent(levelName, attributes));
}

void Tally::logLevelEnd(const BBXTallyText& levelName, const platform::Json& score, const platform::Json& success,
                        const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyLevelEndEvent(levelName, score, success, attributes));
}

void Tally::logAddToCartWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                  const BBXTallyText& itemName, const BBXTallyText& itemType,
                                  const BBXTallyText& itemId, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyAddToCartEvent(price, currency, itemName, itemType, itemId, attributes));
}

void Tally::logStartCheckoutWithPrice(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                                      const platform::Json& itemCount, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyStartCheckoutEvent(price, currency, itemCount, attributes));
}

void Tally::logRating(const platform::Json& rating, const BBXTallyText& contentName, const BBXTallyText& contentType,
                      const BBXTallyText& contentId, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyRateEvent(rating, contentName, contentType, contentId, attributes));
}

void Tally::logContentViewWithName(const BBXTallyText& contentName, const BBXTallyText& contentType,
                                   const BBXTallyText& contentId, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallyContentViewEvent(contentName, contentType, contentId, attributes));
}

void Tally::logSearchWithQuery(const BBXTallyText& query, const platform::Json& attributes) {
  logPredefinedEvent(BBXTallySearchEvent(query, attributes));
}

}  // namespace lumora
