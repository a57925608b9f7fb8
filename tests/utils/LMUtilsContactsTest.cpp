#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "utils/LMUtils.h"
#include "platform/dispatch/Clock.h"

namespace {

using lumora::LMUtils;
using platform::Json;
using std::chrono::day;
using std::chrono::month;
using std::chrono::year;

std::chrono::sys_days utcMidnight(int y, unsigned m, unsigned d) {
  return std::chrono::sys_days(std::chrono::year_month_day{year(y), month(m), day(d)});
}

Json item(const std::string& value, const std::string& type = "") {
  Json j{{"value", value}};
  if (!type.empty()) j["type"] = type;
  return j;
}

// Sets TZ for the scope, so date code that consulted the device's zone would
// show it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

// ---- Dates ----

TEST(LMUtilsDates, FormatsFullDatesAndDaysWithoutAYear) {
  EXPECT_EQ(LMUtils::stringForLumoraDate(utcMidnight(1990, 5, 17)), "1990-05-17");
  EXPECT_EQ(LMUtils::stringForLumoraDate(utcMidnight(1604, 6, 1)), "--06-01");
  EXPECT_EQ(LMUtils::stringForLumoraDate(utcMidnight(1604, 2, 29)), "--02-29");
  EXPECT_EQ(LMUtils::stringForLumoraDate(utcMidnight(16, 4, 1)), "0016-04-01");
  // Any time of the day belongs to that day in UTC.
  EXPECT_EQ(LMUtils::stringForLumoraDate(utcMidnight(2020, 1, 1) + std::chrono::hours(23)),
            "2020-01-01");
  EXPECT_EQ(LMUtils::stringForLumoraDate(platform::Clock::TimePoint(utcMidnight(2020, 1, 1)) +
                                         std::chrono::nanoseconds(1)),
            "2020-01-01");
  EXPECT_EQ(LMUtils::stringForLumoraDate(std::chrono::sys_seconds(utcMidnight(1604, 12, 31)) +
                                         std::chrono::seconds(86399)),
            "--12-31");
}

TEST(LMUtilsDates, ParsesEveryCloudFormToMidnightUTC) {
  EXPECT_EQ(LMUtils::dateFromLumoraString("1990-05-17"), utcMidnight(1990, 5, 17));
  EXPECT_EQ(LMUtils::dateFromLumoraString("--06-01"), utcMidnight(1604, 6, 1));
  EXPECT_EQ(LMUtils::dateFromLumoraString("06-01"), utcMidnight(1604, 6, 1));
  EXPECT_EQ(LMUtils::dateFromLumoraString("--02-29"), utcMidnight(1604, 2, 29));
  EXPECT_EQ(LMUtils::stringForLumoraDay(*LMUtils::dateFromLumoraString("32767-12-31")), "32767-12-31");
  for (const char* bad : {"", "1990-02-30", "1990-13-01", "1990-05", "--06", "x-06-01",
                          "1990-05-17T00:00", "1990/05/17", "-06-01", "1990-05-17-",
                          "193060-01-05", "32768-01-01"}) {  // years the calendar cannot hold
    EXPECT_FALSE(LMUtils::dateFromLumoraString(bad)) << bad;
  }
}

TEST(LMUtilsDates, DaysNeverMoveWithTheDeviceTimeZone) {
  for (const char* zone : {"Pacific/Kiritimati", "America/Los_Angeles", "Asia/Shanghai"}) {
    ScopedTimeZone tz(zone);
    for (const char* text : {"1990-05-17", "--12-31", "--01-01", "2000-01-01"}) {
      auto date = LMUtils::dateFromLumoraString(text);
      ASSERT_TRUE(date) << zone << " " << text;
      EXPECT_EQ(LMUtils::stringForLumoraDate(*date), text) << zone;
    }
  }
}

TEST(LMUtilsDates, NormalisesTheMonthDayForm) {
  EXPECT_EQ(LMUtils::dateStringFromLumoraString("06-01"), "--06-01");
  EXPECT_EQ(LMUtils::dateStringFromLumoraString("--06-01"), "--06-01");
  EXPECT_EQ(LMUtils::dateStringFromLumoraString("1990-06-01"), "1990-06-01");
  EXPECT_EQ(LMUtils::dateStringFromLumoraString("x"), "x");
}

// ---- Strings ----

TEST(LMUtilsStrings, PhoneCleaningRemovesOnlyBlanksAndDashes) {
  EXPECT_EQ(LMUtils::purePhoneNumberWithString("+1 (555) 123-45 67"), "+1(555)1234567");
  EXPECT_EQ(LMUtils::purePhoneNumberWithString(" - "), "");
}

TEST(LMUtilsStrings, MissingEmptyAndNonStringsAreEqual) {
  EXPECT_TRUE(LMUtils::isString(Json(nullptr), Json("")));
  EXPECT_TRUE(LMUtils::isString(Json(3), Json(nullptr)));
  EXPECT_FALSE(LMUtils::isString(Json("a"), Json(nullptr)));
  EXPECT_FALSE(LMUtils::isString(Json(nullptr), Json("a")));
  EXPECT_FALSE(LMUtils::isString(Json("a"), Json("A")));
  EXPECT_TRUE(LMUtils::isString(Json("a"), Json("a")));
  using Opt = std::optional<std::string>;
  EXPECT_TRUE(LMUtils::isString(Opt(), Opt("")));
  EXPECT_FALSE(LMUtils::isString(Opt("x"), Opt()));
  EXPECT_FALSE(LMUtils::isString(Opt(), Opt("x")));
}

// ---- Lists ----

TEST(LMUtilsLists, PhoneEqualityIgnoresFormattingLabelsAndOrder) {
  Json a = {item("138-0013 8000", "mobile"), item("+1 555")};
  Json b = {item("+1555", "work"), item("13800138000"), item("1380013-8000")};
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayEqualToArray(a, b));
  EXPECT_FALSE(LMUtils::isPhoneNumberArrayEqualToArray(a, Json::array({item("13800138000")})));
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayEqualToArray(nullptr, Json::array()));
  EXPECT_FALSE(LMUtils::isPhoneNumberArrayEqualToArray(a, nullptr));
  // Items without a usable number do not count.
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayEqualToArray(Json{item("1"), item(" - "), Json{{"value", 5}}},
                                                      Json::array({item("1")})));
}

TEST(LMUtilsLists, Containment) {
  Json big = {item("1"), item("2")};
  Json small = Json::array({item("2")});
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayContainWithArray(big, small));
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayContainWithArray(small, big));
  EXPECT_FALSE(LMUtils::isPhoneNumberArrayContainWithArray(big, Json::array({item("3")})));
  EXPECT_FALSE(LMUtils::isPhoneNumberArrayContainWithArray(big, nullptr));
  EXPECT_FALSE(LMUtils::isPhoneNumberArrayContainWithArray(nullptr, nullptr));
  EXPECT_TRUE(LMUtils::isPhoneNumberArrayContainWithArray(Json::array({Json{{"type", "x"}}}), Json::array({item("")})));

  Json mails = {item("a@x"), item("b@x")};
  EXPECT_TRUE(LMUtils::isDictionaryValueArrayContainWithArray(Json::array({item("a@x")}), mails));
  EXPECT_TRUE(LMUtils::isDictionaryValueArrayContainWithArray(mails, Json::array({item("a@x")})));
  EXPECT_FALSE(LMUtils::isDictionaryValueArrayContainWithArray(mails, Json::array({item("c@x")})));
  EXPECT_FALSE(LMUtils::isDictionaryValueArrayContainWithArray(Json::array({item("A@x")}), mails));
}

TEST(LMUtilsLists, ValueEqualityIsExactAndIgnoresLabels) {
  EXPECT_TRUE(LMUtils::isDictionaryValueArrayEqualToArray(Json{item("a", "home"), item("a")},
                                                          Json::array({item("a", "work")})));
  EXPECT_FALSE(LMUtils::isDictionaryValueArrayEqualToArray(Json::array({item("a-1")}), Json::array({item("a1")})));
}

TEST(LMUtilsLists, WholeItemMatchingCountsRepeatsNotOrder) {
  Json x = item("x", "home");
  Json y = item("y", "home");
  EXPECT_FALSE(LMUtils::isDictionaryArray(Json{x, x}, Json::array({x})));
  EXPECT_FALSE(LMUtils::isDictionaryArray(Json::array({x}), Json{x, x}));
  EXPECT_TRUE(LMUtils::isDictionaryArray(Json{x, y}, Json{y, x}));
  EXPECT_FALSE(LMUtils::isDictionaryArray(Json::array({x}), Json::array({item("x", "work")})));
}

TEST(LMUtilsLists, AddressesCompareWithoutTypeAndFormatted) {
  Json a = {{"type", "home"}, {"locality", "Paris"}, {"formatted", "Paris, France"}};
  Json b = {{"type", "work"}, {"locality", "Paris"}};
  EXPECT_TRUE(LMUtils::isAddressDictionaryArray(Json::array({a}), Json::array({b})));
  EXPECT_FALSE(LMUtils::isAddressDictionaryArray(Json::array({a}), Json{{{"locality", "Lyon"}}}));
  EXPECT_EQ(LMUtils::mergeAddressDictionaryArray(Json::array({a}), Json{b, {{"locality", "Lyon"}}}),
            (Json{a, {{"locality", "Lyon"}}}));
}

TEST(LMUtilsLists, EmailComparisonIsKeyWiseByPosition) {
  Json x = {{"type", "home"}, {"value", "x@a"}, {"primary", true}};
  Json y = {{"type", "work"}, {"value", "y@a"}};
  Json xPlain = {{"type", "home"}, {"value", "x@a"}};
  EXPECT_TRUE(LMUtils::isEmailDictionaryArray(Json{x, y}, Json{xPlain, y}, {"primary"}));
  EXPECT_FALSE(LMUtils::isEmailDictionaryArray(Json{x, y}, Json{xPlain, y}, {}));
  EXPECT_FALSE(LMUtils::isEmailDictionaryArray(Json{x, y}, Json{y, x}, {"primary"}));
  EXPECT_FALSE(LMUtils::isEmailDictionaryArray(Json::array({xPlain}), Json{xPlain, xPlain}, {}));
  EXPECT_TRUE(LMUtils::isEmailDictionaryArray(nullptr, Json::array(), {}));
}

TEST(LMUtilsLists, KeyMergesKeepTheFirstWrittenFormAndDropExtraKeys) {
  Json merged = LMUtils::mergePhoneNumberArray(Json::array({item("138 0013", "mobile")}),
                                               Json{item("1380013", "work"), item("99")});
  EXPECT_EQ(merged, (Json{item("138 0013", "mobile"), item("99")}));
  Json withExtra = {{"value", "a@x"}, {"type", ""}, {"primary", true}};
  EXPECT_EQ(LMUtils::mergeDictionaryValueArray(Json{withExtra, Json{{"type", "t"}}}, Json::array({item("b")})),
            (Json{item("a@x"), item("b")}));
}

TEST(LMUtilsLists, MergesOfEmptyLists) {
  Json a = Json::array({item("a")});
  EXPECT_TRUE(LMUtils::mergeDictionaryArray(nullptr, Json::array()).is_null());
  EXPECT_EQ(LMUtils::mergeDictionaryArray(nullptr, a), a);
  EXPECT_EQ(LMUtils::mergePhoneNumberArray(a, "not a list"), a);
  // Each item of the first list absorbs at most one equal item.
  Json x = item("x");
  EXPECT_EQ(LMUtils::mergeDictionaryArray(Json::array({x}), Json{x, x}), (Json{x, x}));
}

// ---- Sets ----

TEST(LMUtilsSets, MissingSetsAreEmptyForEqualityButGiveNoDifference) {
  std::set<int> a{1, 2};
  std::set<int> b{2, 4};
  std::set<int> empty;
  EXPECT_TRUE(LMUtils::isSet<int>(nullptr, &empty));
  EXPECT_FALSE(LMUtils::isSet(&a, &b));
  std::vector<std::pair<std::optional<std::vector<int>>, std::optional<std::vector<int>>>> calls;
  const auto record = [&](auto added, auto removed) { calls.emplace_back(added, removed); };
  LMUtils::compareNewSet<int>(&a, &b, record);
  LMUtils::compareNewSet<int>(&empty, nullptr, record);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].first, (std::vector<int>{1}));
  EXPECT_EQ(calls[0].second, (std::vector<int>{4}));
  EXPECT_FALSE(calls[1].first);
  EXPECT_FALSE(calls[1].second);
}

}  // namespace
