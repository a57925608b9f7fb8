#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/TimePoints.h"
#include "platform/http/CookieStorage.h"

namespace {

using platform::Clock;
using platform::timePointFromSeconds;

// Dates past 2262 (or before 1677) do not fit a time point: they are clamped
// to its ends, so "for ever" cookies stay stored instead of reading as 1816.
TEST(FarDates, ClampToTheRangeATimePointHolds) {
  EXPECT_EQ(timePointFromSeconds(0), Clock::TimePoint());
  EXPECT_EQ(timePointFromSeconds(784887151).time_since_epoch(), std::chrono::seconds(784887151));
  const Clock::TimePoint latest = timePointFromSeconds(253402300799);  // 9999-12-31
  EXPECT_GT(latest, timePointFromSeconds(9000000000));                 // year 2255
  EXPECT_EQ(timePointFromSeconds(INT64_MAX), latest);
  EXPECT_LT(timePointFromSeconds(-62135596800), Clock::TimePoint());  // year 1
  EXPECT_EQ(timePointFromSeconds(INT64_MIN), timePointFromSeconds(-62135596800));

  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  platform::http::CookieStorage store;
  platform::http::HeaderFields headers;
  headers.add("Set-Cookie", "forever=1; Expires=Fri, 31 Dec 9999 23:59:59 GMT");
  store.setCookiesFromResponse(platform::http::Response("https://example.com/", 200, headers));
  ASSERT_EQ(store.cookies().size(), 1u);
  EXPECT_GT(*store.cookies()[0].expiresDate, timePointFromSeconds(9000000000));
}

}  // namespace
