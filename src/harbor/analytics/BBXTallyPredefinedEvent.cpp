#include "harbor/analytics/BBXTallyPredefinedEvent.h"

#include <cmath>

#include <fmt/format.h>

namespace lumora {

BBXTallyPredefinedEvent::BBXTallyPredefinedEvent(const std::string& predefinedType,
                                                 const platform::Json& customAttributes)
    : BBXTallyEvent("predefined", {{"predefined_type", predefinedType}}, customAttributes) {}

void BBXTallyPredefinedEvent::addPredefinedAttribute(const platform::Json& value, const std::string& key) {
  addAttribute(value, key, mutablePredefinedAttributes());
}

void BBXTallyPredefinedEvent::addPredefinedNumber(const platform::Json& value, const std::string& key) {
  if (value.is_number()) addPredefinedAttribute(value, key);
}

void BBXTallyPredefinedEvent::addPredefinedString(const platform::Json& value, const std::string& key) {
  if (value.is_string()) {
    addPredefinedAttribute(value, key);
  } else if (value.is_boolean()) {
    addPredefinedAttribute(value.get<bool>() ? "1" : "0", key);
  } else if (value.is_number()) {
    addPredefinedAttribute(value.dump(), key);
  }
}

void BBXTallyPredefinedEvent::addPredefinedString(const BBXTallyText& value, const std::string& key) {
  if (value) addPredefinedAttribute(*value, key);
}

platform::Json BBXTallyPredefinedEvent::serializeSuccess(const platform::Json& success) {
  if (success.is_boolean()) return success.get<bool>() ? "true" : "false";
  if (success.is_number()) return success.get<double>() != 0 ? "true" : "false";
  return nullptr;
}

platform::Json BBXTallyPredefinedEvent::serializePriceToMicros(const std::optional<platform::Decimal>& price) {
  if (!price) return nullptr;
  const auto micros = price->multipliedBy(platform::Decimal(1000000));
  if (!micros) return nullptr;
  return micros->toJson();
}

platform::Json BBXTallyPredefinedEvent::serializeNSNumberAsInteger(const platform::Json& number) {
  if (number.is_boolean()) return number.get<bool>() ? 1 : 0;
  if (number.is_number_integer()) return number;
  if (number.is_number_float()) {
    const double whole = std::trunc(number.get<double>());
    if (std::isfinite(whole) && std::fabs(whole) < 9.2e18) return static_cast<std::int64_t>(whole);
    return whole;
  }
  return nullptr;
}

std::string BBXTallyPredefinedEvent::description() const {
  return fmt::format("BBXTallyPredefinedEvent {{ {} customAttributes={}}}", predefinedAttributes().dump(),
                     customAttributes().dump());
}

BBXTallyPurchaseEvent::BBXTallyPurchaseEvent(const std::optional<platform::Decimal>& price,
                                             const BBXTallyText& currency, const platform::Json& success,
                                             const BBXTallyText& itemName, const BBXTallyText& itemId,
                                             const BBXTallyText& itemType, const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("purchase", customAttributes) {
  addPredefinedNumber(serializePriceToMicros(price), "item_price");
  addPredefinedString(currency, "currency");
  addPredefinedString(serializeSuccess(success), "success");
  addPredefinedString(itemName, "item_name");
  addPredefinedString(itemId, "item_id");
  addPredefinedString(itemType, "item_type");
}

BBXTallyAddToCartEvent::BBXTallyAddToCartEvent(const std::optional<platform::Decimal>& price,
                                               const BBXTallyText& currency, const BBXTallyText& itemName,
                                               const BBXTallyText& itemType, const BBXTallyText& itemId,
                                               const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("add_to_cart", customAttributes) {
  addPredefinedNumber(serializePriceToMicros(price), "item_price");
  addPredefinedString(currency, "currency");
  addPredefinedString(itemName, "item_name");
  addPredefinedString(itemType, "item_type");
  addPredefinedString(itemId, "item_id");
}

BBXTallyStartCheckoutEvent::BBXTallyStartCheckoutEvent(const std::optional<platform::Decimal>& price,
                                                       const BBXTallyText& currency, const platform::Json& itemCount,
                                                       const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("start_checkout", customAttributes) {
  addPredefinedNumber(serializePriceToMicros(price), "total_price");
  addPredefinedString(currency, "currency");
  addPredefinedNumber(serializeNSNumberAsInteger(itemCount), "item_count");
}

BBXTallyContentViewEvent::BBXTallyContentViewEvent(const BBXTallyText& contentName, const BBXTallyText& contentType,
                                                   const BBXTallyText& contentId,
                                                   const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("content_view", customAttributes) {
  addPredefinedString(contentName, "content_name");
  addPredefinedString(contentType, "content_type");
  addPredefinedString(contentId, "content_id");
}

BBXTallySearchEvent::BBXTallySearchEvent(const BBXTallyText& query, const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("search", customAttributes) {
  addPredefinedString(query, "query");
}

BBXTallyShareEvent::BBXTallyShareEvent(const BBXTallyText& shareMethod, const BBXTallyText& contentName,
                                       const BBXTallyText& contentType, const BBXTallyText& contentId,
                                       const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("share", customAttributes) {
  addPredefinedString(shareMethod, "method");
  addPredefinedString(contentName, "content_name");
  addPredefinedString(contentType, "content_type");
  addPredefinedString(contentId, "content_id");
}

BBXTallyRateEvent::BBXTallyRateEvent(const platform::Json& rating, const BBXTallyText& contentName,
                                     const BBXTallyText& contentType, const BBXTallyText& contentId,
                                     const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("rating", customAttributes) {
  addPredefinedNumber(serializeNSNumberAsInteger(rating), "rating");
  addPredefinedString(contentName, "content_name");
  addPredefinedString(contentType, "content_type");
  addPredefinedString(contentId, "content_id");
}

BBXTallySignUpEvent::BBXTallySignUpEvent(const BBXTallyText& signupMethod, const platform::Json& success,
                                         const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("sign_up", customAttributes) {
  addPredefinedString(serializeSuccess(success), "success");
  addPredefinedString(signupMethod, "method");
}

BBXTallyLoginEvent::BBXTallyLoginEvent(const BBXTallyText& loginMethod, const platform::Json& success,
                                       const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("login", customAttributes) {
  addPredefinedString(serializeSuccess(success), "success");
  addPredefinedString(loginMethod, "method");
}

BBXTallyInviteEvent::BBXTallyInviteEvent(const BBXTallyText& inviteMethod, const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("invite", customAttributes) {
  addPredefinedString(inviteMethod, "method");
}

BBXTallyLevelStartEvent::BBXTallyLevelStartEvent(const BBXTallyText& levelName,
                                                 const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("level_start", customAttributes) {
  addPredefinedString(levelName, "level_name");
}

BBXTallyLevelEndEvent::BBXTallyLevelEndEvent(const BBXTallyText& levelName, const platform::Json& score,
                                             const platform::Json& success, const platform::Json& customAttributes)
    : BBXTallyPredefinedEvent("level_end", customAttributes) {
  addPredefinedString(levelName, "level_name");
  addPredefinedNumber(score, "score");
  addPredefinedString(serializeSuccess(success), "success");
}

}  // namespace lumora
