// The fixed kinds of Tally events: key "predefined", metadata
// {"predefined_type": kind}, and the kind's own attributes, validated like
// the app's. Prices become micros in exact decimal arithmetic (1.99 gives
// 1990000); success flags "true"/"false"; counts and ratings whole numbers
// (fraction dropped). An argument that is none (nullopt, JSON null) leaves
// its attribute out.
// Plain values; any thread. Nothing fails.
#pragma once

#include <optional>
#include <string>

#include "harbor/analytics/BBXTallyEvent.h"
#include "platform/Decimal.h"

namespace lumora {

using BBXTallyText = std::optional<std::string>;

class BBXTallyPredefinedEvent : public BBXTallyEvent {
 public:
  BBXTallyPredefinedEvent(const std::string& predefinedType, const platform::Json& customAttributes);

  void addPredefinedAttribute(const platform::Json& value, const std::string& key);
  // Only a number.
  void addPredefinedNumber(const platform::Json& value, const std::string& key);
  // A string as is, a number as its text; anything else is ignored.
  void addPredefinedString(const platform::Json& value, const std::string& key);
  void addPredefinedString(const BBXTallyText& value, const std::string& key);

  // "true" / "false" by the value's truth; null for none.
  static platform::Json serializeSuccess(const platform::Json& success);
  // price x 1000000, exactly; null for none or a price out of range.
  static platform::Json serializePriceToMicros(const std::optional<platform::Decimal>& price);
  // The whole part of a number; null for none.
  static platform::Json serializeNSNumberAsInteger(const platform::Json& number);

  std::string description() const override;
};

class BBXTallyPurchaseEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyPurchaseEvent(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                        const platform::Json& success, const BBXTallyText& itemName, const BBXTallyText& itemId,
                        const BBXTallyText& itemType, const platform::Json& customAttributes = nullptr);
};

class BBXTallyAddToCartEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyAddToCartEvent(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                         const BBXTallyText& itemName, const BBXTallyText& itemType, const BBXTallyText& itemId,
                         const platform::Json& customAttributes = nullptr);
};

class BBXTallyStartCheckoutEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyStartCheckoutEvent(const std::optional<platform::Decimal>& price, const BBXTallyText& currency,
                             const platform::Json& itemCount, const platform::Json& customAttributes = nullptr);
};

class BBXTallyContentViewEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyContentViewEvent(const BBXTallyText& contentName, const BBXTallyText& contentType,
                           const BBXTallyText& contentId, const platform::Json& customAttributes = nullptr);
};

class BBXTallySearchEvent : public BBXTallyPredefinedEvent {
 public:
  explicit BBXTallySearchEvent(const BBXTallyText& query, const platform::Json& customAttributes = nullptr);
};

class BBXTallyShareEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyShareEvent(const BBXTallyText& shareMethod, const BBXTallyText& contentName,
                     const BBXTallyText& contentType, const BBXTallyText& contentId,
                     const platform::Json& customAttributes = nullptr);
};

class BBXTallyRateEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyRateEvent(const platform::Json& rating, const BBXTallyText& contentName, const BBXTallyText& contentType,
                    const BBXTallyText& contentId, const platform::Json& customAttributes = nullptr);
};

class BBXTallySignUpEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallySignUpEvent(const BBXTallyText& signupMethod, const platform::Json& success,
                      const platform::Json& customAttributes = nullptr);
};

class BBXTallyLoginEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyLoginEvent(const BBXTallyText& loginMethod, const platform::Json& success,
                     const platform::Json& customAttributes = nullptr);
};

class BBXTallyInviteEvent : public BBXTallyPredefinedEvent {
 public:
  explicit BBXTallyInviteEvent(const BBXTallyText& inviteMethod, const platform::Json& customAttributes = nullptr);
};

class BBXTallyLevelStartEvent : public BBXTallyPredefinedEvent {
 public:
  explicit BBXTallyLevelStartEvent(const BBXTallyText& levelName, const platform::Json& customAttributes = nullptr);
};

class BBXTallyLevelEndEvent : public BBXTallyPredefinedEvent {
 public:
  BBXTallyLevelEndEvent(const BBXTallyText& levelName, const platform::Json& score, const platform::Json& success,
                        const platform::Json& customAttributes = nullptr);
};

}  // namespace lumora
