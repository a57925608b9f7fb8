// A batch reply: it confirms the changes sent only when it answers each of
// them, and each item's code is read as an integer, whatever its form.
#include <gtest/gtest.h>

#include "cloud/sync/LMContactBatchReply.h"

namespace {

using platform::Json;

TEST(ContactBatchReply, EveryChangeMustBeAnsweredAndCodesAreReadAsIntegers) {
  const Json two = Json::array({Json::object(), Json::object()});
  struct ReplyCase {
    Json reply;
    bool ok;
  };
  const ReplyCase replies[] = {
      {Json{{"data", {{"list", two}}}}, true},
      {Json{{"data", {{"list", Json::array({Json::object()})}}}}, false},  // fewer items
      {Json{{"data", {{"list", Json::array({1, 2, 3})}}}}, false},         // more items
      {Json{{"data", {{"list", "two"}}}}, false},
      {Json{{"data", two}}, false},
      {Json{{"list", two}}, false},
      {Json::array(), false},
  };
  for (const auto& c : replies) EXPECT_EQ(lumora::batchReplyItems(c.reply, 2).ok(), c.ok) << c.reply;

  struct CodeCase {
    Json item;
    std::optional<std::int64_t> error;  // nullopt: success
  };
  const CodeCase codes[] = {
      {Json{{"code", 0}}, std::nullopt},
      {Json{{"code", "0"}}, std::nullopt},
      {Json{{"code", 0.0}}, std::nullopt},
      {Json{{"code", 52003}}, 52003},
      {Json{{"code", " 12"}}, 12},
      {Json{{"code", 1e300}}, INT64_MAX},
      {Json{{"code", -1e300}}, INT64_MIN},
      {Json{{"code", "abc"}}, 0},
      {Json{{"code", nullptr}}, 0},
      {Json::object(), 0},
  };
  for (const auto& c : codes) {
    auto outcome = lumora::batchItemStatus(c.item);
    ASSERT_EQ(!outcome.ok(), c.error.has_value()) << c.item;
    if (!outcome) {
      EXPECT_EQ(outcome.error().code(), *c.error) << c.item;
    }
  }
}

}  // namespace
