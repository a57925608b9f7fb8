#include <gtest/gtest.h>

#include "harbor/analytics/BBXAnalyticsApplicationLifecycleEvent.h"
#include "harbor/analytics/BBXAnalyticsMetadataEvent.h"
#include "harbor/analytics/BBXAnalyticsViewControllerEvent.h"
#include "harbor/analytics/BBXTallyCustomEvent.h"
#include "harbor/analytics/BBXTallyPredefinedEvent.h"
#include "platform/app/Application.h"

namespace lumora {
namespace {

std::size_t tallyCount(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The JSON payload of an analytics record.
platform::Json tallyPayload(const BBXEventLogEvent& event) {
  return platform::Json::parse(platform::toString(event.payload().value_or(platform::Bytes{})));
}

TEST(TallyEventsTest, AttributesAreBoundedInNumberAndLength) {
  platform::Json attributes = platform::Json::object();
  for (int i = 0; i < 25; ++i) attributes["key" + std::to_string(100 + i)] = i;
  const std::string longText(150, 'a');
  ::testing::internal::CaptureStderr();
  auto event = BBXTallyCustomEvent::make(longText, attributes);
  const std::string messages = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->customAttributes().size(), BBXTallyEvent::kMaxAttributeCount);
  EXPECT_EQ(tallyCount(messages, "Maximum number of Event attributes exceeded"), 4u);
  EXPECT_EQ(event->metadata()["custom_type"], std::string(100, 'a'));

  // Values of other types are dropped; long keys and values are cut, and
  // keys equal after the cut become one entry, the later one winning.
  // A character outside the basic plane is never split.
  const std::string emoji = "\xF0\x9F\x98\x80";
  auto cut = BBXTallyCustomEvent::make("n", {{"array", {1, 2}},
                                             {"null", nullptr},
                                             {"flag", true},
                                             {std::string(100, 'k') + "1", "first"},
                                             {std::string(100, 'k') + "2", "second"},
                                             {"v", std::string(99, 'b') + emoji}});
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->customAttributes(), platform::Json({{"flag", true},
                                                     {std::string(100, 'k'), "second"},
                                                     {"v", std::string(99, 'b')}}));
  EXPECT_FALSE(BBXTallyCustomEvent::make(std::nullopt));
}

TEST(TallyEventsTest, PredefinedKindsSerialiseTheirAttributes) {
  const BBXTallyPurchaseEvent purchase(platform::Decimal::fromString("9.99"), "EUR", nullptr, "book", "b1", "paper");
  EXPECT_EQ(purchase.predefinedAttributes()["item_price"], 9990000);
  EXPECT_FALSE(purchase.predefinedAttributes().contains("success"));
  EXPECT_EQ(purchase.metadata(), platform::Json({{"predefined_type", "purchase"}}));
  const BBXTallyAddToCartEvent cart(platform::Decimal::fromString("1.99"), "EUR", "book", "paper", "b1");
  EXPECT_EQ(cart.predefinedAttributes()["item_price"], 1990000);
  const BBXTallyStartCheckoutEvent checkout(platform::Decimal::fromString("0.0000005"), "EUR", 3.9);
  EXPECT_DOUBLE_EQ(checkout.predefinedAttributes()["total_price"].get<double>(), 0.5);
  EXPECT_EQ(checkout.predefinedAttributes()["item_count"], 3);

  EXPECT_EQ(BBXTallyRateEvent(4.7, "c", "t", "i").predefinedAttributes()["rating"], 4);
  const BBXTallyLevelEndEvent level("one", 12.5, 0);
  EXPECT_EQ(level.predefinedAttributes(), platform::Json({{"level_name", "one"}, {"score", 12.5}, {"success", "false"}}));
  EXPECT_EQ(BBXTallyLoginEvent("mail", true).predefinedAttributes()["success"], "true");

  // A Tally event's record: priority 2, both attribute objects, the id.
  auto custom = BBXTallyCustomEvent::make("opened");
  auto record = BBXAnalyticsEvent::make(*custom, 1000, "ID-1");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->priority(), 2u);
  EXPECT_EQ(record->key(), "custom");
  EXPECT_EQ(tallyPayload(*record), platform::Json({{"custom_type", "opened"},
                                                   {"predefined_attributes", platform::Json::object()},
                                                   {"custom_attributes", platform::Json::object()},
                                                   {"eventId", "ID-1"}}));
  EXPECT_FALSE(BBXAnalyticsEvent::make(2, 1, "k", "id", {{"bad", "\xFF"}}));  // no JSON for non-UTF-8
}

TEST(TallyEventsTest, LifecycleViewControllerAndMetadataRecords) {
  const struct {
    const char* notification;
    bool highPriority;
    const char* key;
    std::uint64_t priority;
  } cases[] = {
      {platform::kApplicationWillResignActiveNotification, true, "app_became_inactive", 0},
      {platform::kApplicationWillResignActiveNotification, false, "app_became_inactive", 1},
      {platform::kApplicationDidBecomeActiveNotification, false, "app_became_active", 0},
      {platform::kApplicationWillTerminateNotification, true, "app_terminated", 1},
  };
  for (const auto& c : cases) {
    auto event = BBXAnalyticsApplicationLifecycleEvent::make(c.notification, 5, "E", c.highPriority);
    ASSERT_TRUE(event) << c.notification;
    EXPECT_EQ(event->key(), c.key);
    EXPECT_EQ(event->priority(), c.priority) << c.notification << c.highPriority;
    EXPECT_EQ(tallyPayload(*event), platform::Json({{"eventId", "E"}}));
  }
  EXPECT_FALSE(BBXAnalyticsApplicationLifecycleEvent::make("SomethingElse", 5, "E", false));
  EXPECT_EQ(BBXAnalyticsApplicationLifecycleEvent::applicationInstalledEvent(5, "E")->priority(), 0u);

  auto screen = std::make_shared<platform::ui::ViewController>();
  auto appeared = BBXAnalyticsViewControllerEvent::appearedEvent(*screen, 5, "E");
  ASSERT_TRUE(appeared);
  EXPECT_EQ(appeared->priority(), 2u);
  EXPECT_EQ(tallyPayload(*appeared)["view_controller_title"], "");
  EXPECT_EQ(tallyPayload(*appeared)["view_controller_class"], "platform::ui::ViewController");

  const BBXAnalyticsMetadataEvent metadata(1, 9, platform::toBytes("{\"a\":1}"));
  EXPECT_EQ(platform::toString(metadata.eventData()), "9\tmetadata\t7\t{\"a\":1}\n");
}

}  // namespace
}  // namespace lumora
