#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/LogRecorder.h"
#include "platform/dispatch/Clock.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using namespace std::chrono_literals;
using lumora::LMUtils;
using platform::Error;
using platform::Json;

using CapturingSink = testsupport::LogRecorder;

// ---- Error constructors ----

TEST(LMUtilsErrors, ConstructorsUseTheirDomains) {
  Json info{{"reason", "Fail to save database"}};
  EXPECT_EQ(LMUtils::localErrorWithErrorCode(-10003, info), Error("com.quenby.lumora.sdk.error", -10003, info));
  EXPECT_EQ(LMUtils::errorForLumoraUnknownErrorWithUserInfo(info), Error("com.quenby.vantri.error.server", 101, info));
  EXPECT_EQ(LMUtils::errorFromCoreFoundationError(Error("CFErrorDomainOSStatus", -50, info)),
            Error("CFErrorDomainOSStatus", -50, info));
}

TEST(LMUtilsErrors, AddressBookErrorsBecomeLocalErrors) {
  Error notAllowed = LMUtils::errorFromABAddressBookError(Error("ABAddressBookErrorDomain", 0));
  EXPECT_EQ(notAllowed.domain(), lumora::kLMLocalErrorDomain);
  EXPECT_EQ(notAllowed.code(), -10004);
  EXPECT_EQ(notAllowed.userInfo(),
            (Json{{"reason",
                   "The operation is not allowed by the Address Book database, because the "
                   "contact\xE2\x80\x99s source does not support it."},
                  {"description", "ABAddressBook Error"}}));

  Error denied = LMUtils::errorFromABAddressBookError(Error("ABAddressBookErrorDomain", 1));
  EXPECT_EQ(denied.code(), -10005);
  EXPECT_EQ(denied.userInfo(),
            (Json{{"reason",
                   "The operation is not allowed because the user denied access to the Address "
                   "Book database."},
                  {"description", "ABAddressBook Error"}}));

  Error other = LMUtils::errorFromABAddressBookError(Error("ABAddressBookErrorDomain", 2, {{"k", 1}}));
  EXPECT_EQ(other, Error(lumora::kLMLocalErrorDomain, 2));
  EXPECT_TRUE(other.userInfo().is_null());
}

// ---- Retry rule ----

class RetryRule : public ::testing::Test {
 protected:
  RetryRule() { clock_->setAutoAdvanceSleeps(true); }
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};

TEST_F(RetryRule, BadServerResponseSleeps24SecondsAndRetriesWhateverItSays) {
  auto start = clock_->now();
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("AnyDomain", -1011, {{"retriable", false}})));
  EXPECT_EQ(clock_->now() - start, 24s);
  EXPECT_EQ(clock_->sleptTotal(), 24s);
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error(lumora::kLMServerErrorDomain, -1011)));
  EXPECT_EQ(clock_->sleptTotal(), 48s);
}

TEST_F(RetryRule, BadServerResponseBlocksUntilTheClockHasMoved24Seconds) {
  clock_->setAutoAdvanceSleeps(false);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("NSURLErrorDomain", -1011)));
    done = true;
  });
  ASSERT_TRUE(clock_->waitForWaiters(1, testsupport::scaled(10s)));
  clock_->advance(23s);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(done);
  clock_->advance(1s);
  worker.join();
  EXPECT_TRUE(done);
}

TEST_F(RetryRule, FlagsDecideBeforeCodes) {
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(std::nullopt));
  // The error's own flag wins over the code list.
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(Error("NSURLErrorDomain", -1004, {{"retriable", false}})));
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("d", 500, {{"retriable", true}})));
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("d", 500, {{"retriable", 1}})));
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(Error("d", -1, {{"retriable", 0}})));

  Error retriableInner("NSURLErrorDomain", 500, {{"retriable", true}});
  Error plainInner("NSURLErrorDomain", -1004);
  // The underlying error's flag counts when the outer error has none ...
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("d", 500).withUnderlying(retriableInner)));
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(
      Error("d", -1004).withUnderlying(Error("e", 1, {{"retriable", false}}))));
  // ... but the outer flag comes first.
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(
      Error("d", 500, {{"retriable", false}}).withUnderlying(retriableInner)));
  // Without flags the outer code decides, never the underlying one.
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithError(Error("d", 500).withUnderlying(plainInner)));
  EXPECT_TRUE(LMUtils::shouldRetryRequestWithError(Error("d", -1005).withUnderlying(Error("e", 500))));
  EXPECT_EQ(clock_->sleptTotal(), 0s);
}

TEST_F(RetryRule, CodeListIsExactlyTheEightURLLoadingCodes) {
  const std::vector<std::int64_t> retried{-1, -1004, -1005, -1014, -1015, -1016, -1017, -1019};
  std::vector<std::int64_t> codes{0, 1, -2, 101, 500, -1000};
  for (std::int64_t c = -1025; c <= -1001; ++c) codes.push_back(c);
  for (std::int64_t code : codes) {
    bool expected = std::find(retried.begin(), retried.end(), code) != retried.end();
    EXPECT_EQ(LMUtils::shouldRetryRequestWithErrorCode(code), expected) << code;
    if (code != -1011) {
      EXPECT_EQ(LMUtils::shouldRetryRequestWithError(Error("any", code)), expected) << code;
    }
  }
  EXPECT_FALSE(LMUtils::shouldRetryRequestWithErrorCode(-1011));  // handled before the list
  EXPECT_EQ(clock_->sleptTotal(), 0s);
}

// ---- JSON text ----

class JSONText : public ::testing::Test {
 protected:
  void SetUp() override { lumora::LMLogUtil::setLogDelegate(sink_); }
  void TearDown() override { lumora::LMLogUtil::setLogDelegate(nullptr); }
  std::shared_ptr<CapturingSink> sink_ = std::make_shared<CapturingSink>();
};

TEST_F(JSONText, WritesPrettyPrintedTextThatReadsBack) {
  auto text = LMUtils::stringFromJSONObject(Json::array({"a", "b"}));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "[\n  \"a\",\n  \"b\"\n]");

  Json record{{"type", "contact"}, {"content", {{"name", "Zo\xC3\xAB"}, {"phones", {1, 2}}}}};
  auto recordText = LMUtils::stringFromJSONObject(record);
  ASSERT_TRUE(recordText);
  EXPECT_NE(recordText->find("\n    \"name\": \"Zo\xC3\xAB\""), std::string::npos);
  EXPECT_EQ(LMUtils::jsonObjectFromString(*recordText).value(), record);
  EXPECT_TRUE(sink_->records.empty());
}

TEST_F(JSONText, WriteFailureIsReportedAndLogged) {
  Json bad = Json::array({std::string("\xFF\xFE")});
  auto written = LMUtils::stringFromJSONObject(bad);
  ASSERT_FALSE(written);
  const Error& error = written.error();
  EXPECT_EQ(error.domain(), lumora::kLMJSONErrorDomain);
  EXPECT_EQ(error.code(), lumora::kLMJSONErrorCode);
  ASSERT_EQ(sink_->records.size(), 1u);
  EXPECT_EQ(sink_->records[0].flag(), 1u);
  EXPECT_EQ(sink_->records[0].message(), error.description());
}

TEST_F(JSONText, ReadsOnlyNonEmptyTextOfAContainer) {
  // No text at all is refused without a log line: there was nothing to read.
  for (const Json& none : {Json(""), Json(12), Json::object()}) {
    auto parsed = LMUtils::jsonObjectFromString(none);
    ASSERT_FALSE(parsed) << none;
    EXPECT_EQ(parsed.error().domain(), lumora::kLMJSONErrorDomain) << none;
  }
  EXPECT_TRUE(sink_->records.empty());

  EXPECT_EQ(LMUtils::jsonObjectFromString(std::string(R"({"a":[1,"x"]})")).value(), (Json{{"a", {1, "x"}}}));

  for (const char* text : {"{\"a\":", "not json", "5", "\"text\""}) {
    auto parsed = LMUtils::jsonObjectFromString(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error().domain(), lumora::kLMJSONErrorDomain) << text;
  }
  EXPECT_EQ(sink_->records.size(), 4u);
}

// ---- Directories ----

TEST(LMUtilsDirectories, PathsLieUnderTheAppHome) {
  testsupport::TestHome home;
  EXPECT_EQ(LMUtils::applicationDocumentsDirectory(), home.root() / "Documents");
  EXPECT_EQ(LMUtils::applicationDocumentsDirectoryPath(), (home.root() / "Documents").string());
  EXPECT_EQ(LMUtils::applicationCachesDirectoryPath(), (home.root() / "Library" / "Caches").string());
  EXPECT_TRUE(std::filesystem::is_directory(LMUtils::applicationCachesDirectoryPath()));
}

}  // namespace
