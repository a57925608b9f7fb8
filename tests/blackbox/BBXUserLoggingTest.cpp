#include "blackbox/BBXUserLogging.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"

namespace {

// The "kv" objects of a file, after the queued compactions have run.
std::vector<nlohmann::json> bbxLoggingEntries(const bbxtest::TestContext& context, const std::string& name) {
  lumora::BBXContextLoggingQueue().sync([] {});
  return lumora::BBXUserLoggingReadKVEntries(context.path(name).c_str()).value_or(std::vector<nlohmann::json>{});
}

TEST(BBXUserLoggingTest, KeyValuesAreCompactedEverySixtyFourWrites) {
  lumora::BBXContextInitData data;
  data.maxCustomKeys = 16;
  bbxtest::TestContext context(data);
  for (int i = 0; i < 64; ++i) lumora::BBXUserLoggingRecordUserKeyValue("key", "value" + std::to_string(i));
  auto compacted = bbxLoggingEntries(context, "user_compacted_kv.bbxrecord");
  ASSERT_EQ(compacted.size(), 1u);
  EXPECT_EQ(compacted[0]["value"], "76616c75653633");  // value63
  EXPECT_FALSE(std::filesystem::exists(context.path("user_incremental_kv.bbxrecord")));

  // A nil value removes the key; past the maximum the set is cut to it.
  lumora::BBXUserLoggingRecordUserKeyValue("key", std::nullopt);
  EXPECT_TRUE(bbxLoggingEntries(context, "user_incremental_kv.bbxrecord").back()["value"].is_null());
  for (int i = 1; i < 64; ++i) lumora::BBXUserLoggingRecordUserKeyValue("k" + std::to_string(i % 20), "v");
  compacted = bbxLoggingEntries(context, "user_compacted_kv.bbxrecord");
  EXPECT_EQ(compacted.size(), 16u);
  for (const auto& entry : compacted) EXPECT_NE(entry["key"], "6b6579");  // key

  // The internal store has its own file and maximum.
  lumora::BBXUserLoggingRecordInternalKeyValue("internal", "1");
  EXPECT_EQ(bbxLoggingEntries(context, "internal_incremental_kv.bbxrecord").size(), 1u);
}

TEST(BBXUserLoggingTest, ErrorsRotateBetweenTwoFilesPastTheLimit) {
  lumora::BBXContextInitData data;
  data.errorReportingEnabled = true;
  data.errorLogBufferSize = 65536;
  bbxtest::TestContext context(data);
  const platform::Error error("Domain", -7, {{"reason", std::string(1000, 'r')}});
  int recorded = 0;
  while (!std::filesystem::exists(context.path("errors_a.bbxrecord")) ||
         std::filesystem::file_size(context.path("errors_a.bbxrecord")) <= 65536) {
    lumora::BBXUserLoggingRecordError(error, {{"extra", 1}});
    ++recorded;
  }
  lumora::BBXContextLoggingQueue().sync([] {});
  EXPECT_EQ(context.sections("errors_a.bbxrecord").size(), static_cast<std::size_t>(recorded));
  lumora::BBXUserLoggingRecordError(error, nullptr);
  const auto second = context.sections("errors_b.bbxrecord");
  ASSERT_EQ(second.size(), 1u);
  const nlohmann::json& recordedError = second[0]["error"];
  EXPECT_EQ(recordedError["domain"], "446f6d61696e");
  EXPECT_EQ(recordedError["code"], -7);
  EXPECT_FALSE(recordedError["stacktrace"].empty());
  EXPECT_EQ(recordedError["info"][0][0], "726561736f6e");  // reason
  EXPECT_FALSE(recordedError.contains("extra_info"));
}

TEST(BBXUserLoggingTest, NothingIsWrittenBeforeTheContextIsInitialised) {
  lumora::BBXUserLoggingRecordUserKeyValue("key", "value");
  lumora::BBXUserLoggingRecordError(platform::Error("Domain", 1), nullptr);
  bbxtest::TestContext context;
  EXPECT_FALSE(std::filesystem::exists(context.path("user_incremental_kv.bbxrecord")));
  // Error reporting off: the limit is 0 and nothing is recorded either.
  lumora::BBXUserLoggingRecordError(platform::Error("Domain", 1), nullptr);
  EXPECT_FALSE(std::filesystem::exists(context.path("errors_a.bbxrecord")));
}

}  // namespace
