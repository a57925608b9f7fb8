// Day packages and folding of the statistics document, and the JSON of the
// network samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "stats/KoAPointUpload.h"
#include "stats/KoASMJNetRequest.h"
#include "stats/KoStatNetHandle.h"

namespace {

using lumora::KoAPointLocalModel;
using lumora::KoAPointUpload;
using lumora::KoAPointValue;
using lumora::KoATimeModel;
using platform::Json;

constexpr double kToday = 1577836800;  // 2020-01-01 00:00:00 UTC
constexpr double kNoon = kToday + 12 * 3600;

KoAPointLocalModel uploadPoint(int type, const std::string& key, KoAPointValue value, double time,
                         std::optional<std::string> category = "ui", std::optional<Json> params = std::nullopt) {
  KoAPointLocalModel p;
  p.nPointType = type;
  p.strKey = key;
  p.objValue = std::move(value);
  p.nTime = time;
  p.strCategory = std::move(category);
  p.dicParam = std::move(params);
  return p;
}

Json document(const std::vector<KoAPointLocalModel>& points, double now = kNoon) {
  auto source = KoAPointUpload::parse(points, now).getSource();
  return source ? Json::parse((*source)["stat_value"].get<std::string>()) : Json::array();
}

// The items of the named category of a package, as {key: [type, value]...}.
std::vector<Json> items(const Json& package, const std::string& category) {
  for (const auto& c : package["content"]) {
    if (c["category"] == category) return c["values"].get<std::vector<Json>>();
  }
  return {};
}

TEST(StatDayPackages, PointsAreCutAtUtcMidnightsAndNoneIsLeftOut) {
  struct Case {
    const char* name;
    std::vector<double> times;
    std::vector<std::size_t> packageSizes;
  } cases[] = {
      {"yesterday 23:59 and today 00:01", {kToday - 60, kToday + 60}, {1, 1}},
      {"five days ago joins everything before three days", {kToday - 5 * 86400, kToday - 3 * 86400 - 1}, {2}},
      {"one per day", {kToday - 3 * 86400, kToday - 2 * 86400, kToday - 86400, kToday}, {1, 1, 1, 1}},
      // A clock set back: what is dated after today goes with today.
      {"after tomorrow's midnight, then today", {kToday + 86400 + 5, kToday + 10}, {2}},
      {"today, then after tomorrow", {kToday + 10, kToday + 2 * 86400}, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<KoAPointLocalModel> points;
    for (double t : c.times) points.push_back(uploadPoint(3, "tap", std::int64_t{1}, t));
    Json doc = document(points);
    ASSERT_EQ(doc.size(), c.packageSizes.size());
    for (std::size_t i = 0; i < doc.size(); ++i) {
      EXPECT_EQ(items(doc[i], "ui")[0]["value"], std::to_string(c.packageSizes[i]));
    }
  }
  EXPECT_EQ(document({uploadPoint(3, "tap", std::int64_t{1}, kToday - 60)})[0]["startTS"], "1577836740000");
}

TEST(StatDayPackages, PointsFoldByType) {
  Json params{{"a", "1"}};
  std::vector<KoAPointLocalModel> points = {
      uploadPoint(3, "tap", std::int64_t{1}, kNoon), uploadPoint(3, "tap", std::int64_t{1}, kNoon),
      uploadPoint(3, "tap", std::int64_t{1}, kNoon), uploadPoint(3, "tap", std::int64_t{1}, kNoon, "ui", params),
      uploadPoint(2, "size", std::int64_t{4}, kNoon), uploadPoint(2, "size", std::int64_t{5}, kNoon),
      uploadPoint(2, "size", std::int64_t{6}, kNoon), uploadPoint(1, "mode", std::string("old"), kNoon),
      uploadPoint(1, "mode", std::string("new"), kNoon), uploadPoint(0, "level", std::int64_t{7}, kNoon, std::nullopt),
      uploadPoint(7, "upgrade", std::string("1"), kNoon, std::nullopt), uploadPoint(7, "locale", std::string("en"), kNoon, std::nullopt),
  };
  Json package = document(points)[0];
  Json ui = items(package, "ui");
  auto typed = [&](const std::string& type) {
    std::vector<std::string> out;
    for (const auto& item : ui) {
      if (item["type"] != type) continue;
      out.push_back(item["key"].get<std::string>() + "=" + item["value"].get<std::string>() +
                    (item.contains("params") ? "+p" : ""));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(typed("event"), (std::vector<std::string>{"tap=1+p", "tap=3"}));
  EXPECT_EQ(typed("count"), (std::vector<std::string>{"size=4", "size=5", "size=6"}));
  EXPECT_EQ(typed("property"), (std::vector<std::string>{"mode=new"}));
  EXPECT_EQ(items(package, "default_category")[0]["type"], "numeric");
  for (const auto& item : items(package, "kostat_basic")) {
    EXPECT_EQ(item["type"], item["key"] == "upgrade" ? "event" : "property");
  }
  // Equal params hash alike; none gives nothing.
  EXPECT_EQ(KoAPointUpload::hashWithDictionary(params), KoAPointUpload::hashWithDictionary(Json{{"a", "1"}}));
  EXPECT_FALSE(KoAPointUpload::hashWithDictionary(Json::object()));
}

TEST(StatDayPackages, PageViewsGoWithTheirSession) {
  KoATimeModel first{kNoon, kNoon + 60};
  KoATimeModel second{kNoon + 100, kNoon + 160};
  std::string firstKey = "1577880000";  // the first session's start
  std::vector<KoAPointLocalModel> points = {
      uploadPoint(5, firstKey, std::string("New York"), kNoon + 1, std::nullopt),
      uploadPoint(5, firstKey, std::string("Home"), kNoon + 2, std::nullopt),
      uploadPoint(5, firstKey, std::string("New York"), kNoon + 3, std::nullopt),
      uploadPoint(6, "session", first, kNoon + 60, std::nullopt, Json{{"env", "WIFI"}}),
      uploadPoint(6, "session", second, kNoon + 160, std::nullopt),
  };
  Json package = document(points)[0];
  Json pv;
  for (const auto& c : package["content"]) {
    if (c["category"] == "kostat_pv") pv = c;
  }
  EXPECT_EQ(pv["index"], "New York,Home");
  EXPECT_EQ(pv["values"], (Json{"1,2,1", ""}));
  auto sessions = items(package, "kostat_session");
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0]["env"], "WIFI");
  EXPECT_EQ(sessions[0]["start"], "1577880000000");

  // Page views without a session end list their own positions.
  points.resize(3);
  package = document(points)[0];
  for (const auto& c : package["content"]) {
    if (c["category"] == "kostat_pv") {
      EXPECT_EQ(c["values"], (Json{"1,2,1"}));
    }
  }
}

TEST(StatNetworkSamples, SamplesGroupByUrlWithTheirFields) {
  lumora::KoASMJNetRequest failed(0.1234, 12.3456, 0, "WIFI", std::nullopt, std::nullopt);
  EXPECT_EQ(*failed.getSource(), (Json{{"cost", 123}, {"t", 12346.0}, {"code", 0}, {"net", "WIFI"}}));
  // A damaged sample's cost or start is no number of milliseconds: it is left out.
  for (const auto& [cost, start] : {std::pair{1.4e96, 1.0}, {NAN, 1.0}, {-INFINITY, 1.0}, {1.0, NAN}}) {
    EXPECT_FALSE(lumora::KoASMJNetRequest(cost, start, 200, "WIFI", {}, {}).getSource()) << cost << " " << start;
  }

  lumora::KoASMJNetPackage package;
  package.addItemWithKey("http://a", failed);
  package.addItemWithKey("http://b", lumora::KoASMJNetRequest(1, 2, 200, "", "1.2.3.4", "x"));
  package.addItemWithKey("http://a", lumora::KoASMJNetRequest(2, 3, 404, std::nullopt, std::nullopt, std::nullopt));
  auto form = package.getSource();
  ASSERT_EQ(form.size(), 2u);
  Json value = Json::parse(form[1].second);
  ASSERT_EQ(value.size(), 2u);
  EXPECT_EQ(value[0]["url"], "http://a");
  EXPECT_EQ(value[0]["data"].size(), 2u);
  EXPECT_EQ(value[0]["data"][1]["code"], 404);
  EXPECT_EQ(value[1]["data"][0]["dns"], "1.2.3.4");
  EXPECT_EQ(lumora::KoASMJNetPackage().getSource()[1].second, "[]");
}

TEST(StatNetworkSamples, TheLookupResolvesTheUrlsHostOnly) {
  struct Case {
    const char* text;
    const char* host;
  } cases[] = {{"http://localhost", "localhost"},
               {"https://user@localhost:8443/path?q=1", "localhost"},
               {"localhost/x", "localhost"},
               {"ftp://localhost", "ftp"}};
  for (const Case& c : cases) EXPECT_EQ(lumora::KoStatNetHandle::hostOf(c.text), c.host) << c.text;
  EXPECT_EQ(lumora::KoStatNetHandle::getIPAddressByHostName("http://127.0.0.1:8080/kostats?a=b"), "127.0.0.1");
  EXPECT_FALSE(lumora::KoStatNetHandle::getIPAddressByHostName("http://no-such-host.invalid/"));
}

}  // namespace
