#include <gtest/gtest.h>

#include <memory>

#include "platform/device/Reachability.h"
#include "stats/KoASMJBasicCategory.h"
#include "stats/KoASMJCustomStatItem.h"
#include "stats/KoASMJPVCategory.h"
#include "stats/KoASMJPackage.h"
#include "stats/KoASMJRoot.h"
#include "stats/KoASMJTimeCategory.h"
#include "stats/KoASMJTimeStatItem.h"

namespace {

using namespace lumora;
using platform::Json;

TEST(StatDocument, ItemsAndCategoriesWithoutContentDisappear) {
  auto custom = std::make_shared<KoASMJCustomCategory>("shop");
  custom->addItem(KoASMJCustomStatItem("", "event", "1", std::nullopt));
  custom->addItem(KoASMJCustomStatItem("buy", "event", "", std::nullopt));
  custom->addItem(KoASMJCustomStatItem(std::nullopt, "event", "1", std::nullopt));
  auto basic = std::make_shared<KoASMJBasicCategory>();
  basic->addItem(KoASMJCustomStatItem("new", "event", "1", Json::object()));
  basic->addItem(KoASMJCustomStatItem("locale", "property", "en", Json{{"src", "setup"}}));

  KoASMJPackage package;
  EXPECT_EQ(package.getSource(), std::nullopt);  // no category at all
  package.setTsWithStart(12.3456, 20);
  package.addCategory(custom);
  package.addCategory(basic);
  package.addCategory(std::make_shared<KoASMJTimeCategory>());
  package.addCategory(std::make_shared<KoASMJPVCategory>());
  EXPECT_EQ(package.getSource(),
            (Json{{"startTS", "12346"},
                  {"endTS", "20000"},
                  {"content",
                   {{{"category", "kostat_basic"},
                     {"values",
                      {{{"key", "new"}, {"type", "event"}, {"value", "1"}},
                       {{"key", "locale"}, {"type", "property"}, {"value", "en"}, {"params", {{"src", "setup"}}}}}}}}}}));

  // Only the always-added session and page-view categories, both empty.
  KoASMJPackage quiet;
  quiet.addCategory(std::make_shared<KoASMJTimeCategory>());
  quiet.addCategory(std::make_shared<KoASMJPVCategory>());
  EXPECT_EQ(quiet.getSource(), (Json{{"content", Json::array()}, {"startTS", "0"}, {"endTS", "0"}}));
}

TEST(StatDocument, CustomCategoriesAreFoundByNameAmongCustomOnes) {
  KoASMJPackage package;
  package.addCategory(std::make_shared<KoASMJBasicCategory>());
  auto basicNamed = package.getCustomCategory("kostat_basic");
  EXPECT_EQ(package.arrContent.size(), 2u);  // a custom one of its own
  EXPECT_EQ(package.getCustomCategory("kostat_basic"), basicNamed);
  auto fallback = package.getCustomCategory(std::nullopt);
  EXPECT_EQ(fallback->strCategory, "default_category");
  EXPECT_EQ(package.getCustomCategory(""), fallback);
  EXPECT_NE(package.getCustomCategory("Default_category"), fallback);
}

TEST(StatDocument, SessionsAndPageViews) {
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  KoASMJTimeCategory sessions;
  KoASMJTimeStatItem plain(100.0, 160.5);
  KoASMJTimeStatItem withEnv(200.0, 230.0);
  withEnv.addParam(Json{{"env", "LTE"}});
  sessions.addItem(plain);
  sessions.addItem(withEnv);
  sessions.addItem(KoASMJTimeStatItem(std::nullopt, 5.0));
  EXPECT_EQ(sessions.getSource(),
            (Json{{"category", "kostat_session"},
                  {"values",
                   {{{"start", "100000"}, {"end", "160500"}, {"env", "WIFI"}},
                    {{"start", "200000"}, {"end", "230000"}, {"env", "LTE"}}}}}));

  // Pages A, B, A in one session and B in a second.
  KoASMJPVCategory pages;
  EXPECT_EQ(pages.getSource(), std::nullopt);
  pages.addIndex("A");
  pages.addIndex("B");
  pages.addIndex("");
  pages.addValue({0, 1, 0});
  pages.addValue({1});
  pages.addValue({});
  pages.addValue({-1});
  pages.addValue({-1, 0});
  EXPECT_EQ(pages.getSource(), (Json{{"category", "kostat_pv"}, {"index", "A,B"}, {"values", {"1,2,1", "2", "", ",1"}}}));
}

TEST(StatDocument, StatValueIsCompactAndKeepsSpacesInsideTexts) {
  KoASMJRoot root;
  EXPECT_EQ(root.getSource(), std::nullopt);
  root.addPackage(nullptr);
  KoASMJPackage empty;
  root.addPackage(&empty);
  EXPECT_EQ(root.getSource(), std::nullopt);

  KoASMJPackage package;
  package.getCustomCategory("New York trip")->addItem(
      KoASMJCustomStatItem("page view", "event", "New\tYork\n", Json{{"from page", "Los Angeles"}}));
  root.addPackage(&package);
  auto source = root.getSource();
  ASSERT_TRUE(source);
  const std::string text = (*source)["stat_value"].get<std::string>();
  EXPECT_EQ(text.find(": "), std::string::npos);
  EXPECT_EQ(Json::parse(text), Json::array({*package.getSource()}));
  EXPECT_NE(text.find("\"New York trip\""), std::string::npos);
}

}  // namespace
