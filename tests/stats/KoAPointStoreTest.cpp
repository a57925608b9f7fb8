#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"
#include "platform/storage/KeyedArchive.h"
#include "stats/KoAPointStore.h"
#include "support/TestHome.h"

namespace {

using lumora::KoANetRequestModel;
using lumora::KoAPointLocalModel;
using lumora::KoAPointStore;
using lumora::KoAPSNet;
using lumora::KoAPSStat;
using lumora::KoATimeModel;
using platform::Json;

KoAPointLocalModel point(const std::string& key, std::int32_t flag = 0) {
  KoAPointLocalModel p;
  p.nPointType = 3;
  p.nUploadType = 1;
  p.nSendFlag = flag;
  p.strKey = key;
  p.objValue = std::int64_t{1};
  p.nTime = 1577836800;
  return p;
}

std::vector<std::string> keys(const std::vector<KoAPointLocalModel>& points) {
  std::vector<std::string> out;
  for (const auto& p : points) out.push_back(p.strKey + "(" + std::to_string(p.nSendFlag) + ")");
  return out;
}

using Keys = std::vector<std::string>;

class StatPool : public ::testing::Test {
 protected:
  testsupport::TestHome home_;
};

TEST_F(StatPool, APointLeavesOnlyWhenAnUploadThatCarriedItSucceeds) {
  KoAPSStat list;
  for (const char* k : {"a", "b", "c"}) list.add(point(k));
  auto first = list.get(1);
  EXPECT_EQ(keys(first.items), (Keys{"a(1)", "b(1)", "c(1)"}));
  list.add(point("d"));
  EXPECT_EQ(list.removeAll(1), 3u);
  EXPECT_EQ(keys(list.items()), (Keys{"d(0)"}));

  // A point flagged by no upload of this run (read back from the file)
  // stays, wherever it stands.
  KoAPSStat mixed;
  mixed.add(point("a"));
  mixed.get(1);
  mixed.add(point("b"));
  mixed.add(point("c", 1));
  mixed.removeAll(1);
  EXPECT_EQ(keys(mixed.items()), (Keys{"b(0)", "c(1)"}));

  // A second commit before the first one's outcome: the first success takes
  // only what the first upload carried; the second upload's own point stays
  // until it (or a later upload) gets through.
  KoAPSStat overlapping;
  overlapping.add(point("a"));
  auto one = overlapping.get(1);
  overlapping.add(point("b"));
  auto two = overlapping.get(2);
  EXPECT_EQ(keys(two.items), (Keys{"a(1)", "b(1)"}));
  overlapping.removeAll(1);
  EXPECT_EQ(keys(overlapping.items()), (Keys{"b(1)"}));
  overlapping.add(point("c"));
  auto three = overlapping.get(3);  // the second upload failed: b goes again
  EXPECT_EQ(keys(three.items), (Keys{"b(1)", "c(1)"}));
  overlapping.removeAll(3);
  EXPECT_TRUE(overlapping.items().empty());
}

TEST_F(StatPool, FilesKeepEveryFieldAndLoadsAddOnlyWhatIsMissing) {
  KoAPointLocalModel full = point("session", 1);
  full.nPointType = 6;
  full.strCategory = "shop";
  full.objValue = KoATimeModel{100.5, 160.25};
  full.dicParam = Json{{"env", "WIFI"}, {"n", 3}, {"list", {1.5, "x"}}};
  KoAPointLocalModel page = point("1577836800");
  page.objValue = std::string("New York");
  page.dicParam = Json::object();

  KoAPSStat saved;
  saved.add(full);
  saved.add(page);
  saved.save();

  // The file is a keyed archive: "root" holds the points' archives.
  auto archive = platform::KeyedArchive::readFromFile(platform::AppHome::tmp() / "com.quenby.stat" / "localpool");
  ASSERT_TRUE(archive);
  const auto* root = archive->decodeArray("root");
  ASSERT_TRUE(root != nullptr);
  ASSERT_EQ(root->size(), 2u);
  platform::KeyedArchive first(*(*root)[0].asDictionary());
  EXPECT_EQ(first.decodeInt64("POINT_TYPE"), 6);
  EXPECT_EQ(first.decodeString("CATEGORY"), "shop");
  EXPECT_EQ(first.decodeDouble("TIME"), 1577836800.0);
  EXPECT_FALSE(platform::KeyedArchive(*(*root)[1].asDictionary()).containsValueForKey("PARAM"));

  KoAPSStat loaded;
  loaded.add(point("recorded before the load"));
  loaded.load();
  ASSERT_EQ(loaded.items().size(), 3u);
  const KoAPointLocalModel& back = loaded.items()[0];
  EXPECT_EQ(back.nPointType, 6);
  EXPECT_EQ(back.nUploadType, 1);
  EXPECT_EQ(back.nSendFlag, 1);
  EXPECT_EQ(back.strKey, "session");
  EXPECT_EQ(back.strCategory, "shop");
  EXPECT_EQ(std::get<KoATimeModel>(back.objValue), (KoATimeModel{100.5, 160.25}));
  EXPECT_EQ(back.dicParam, full.dicParam);
  EXPECT_EQ(back.nTime, 1577836800.0);
  EXPECT_EQ(back.nUploadID, 0u);
  EXPECT_EQ(std::get<std::string>(loaded.items()[1].objValue), "New York");
  EXPECT_EQ(loaded.items()[1].dicParam, std::nullopt);
  EXPECT_EQ(loaded.items()[2].strKey, "recorded before the load");

  // Loading again adds nothing; an empty file takes nothing away.
  loaded.load();
  EXPECT_EQ(loaded.items().size(), 3u);
  KoAPSStat().save();
  loaded.load();
  EXPECT_EQ(loaded.items().size(), 3u);

  // Samples round-trip the same way.
  KoANetRequestModel sample;
  sample.strURL = "http://127.0.0.1/x";
  sample.nStart = 12.3456;
  sample.nCost = 0.1234;
  sample.strNetType = "WIFI";
  sample.nStateCode = 404;
  KoAPSNet samples;
  samples.add(sample);
  samples.save();
  KoAPSNet samplesBack;
  samplesBack.load();
  ASSERT_EQ(samplesBack.items().size(), 1u);
  EXPECT_EQ(samplesBack.items()[0].description(), samples.items()[0].description());
}

TEST_F(StatPool, NoFolderNoFiles) {
  std::filesystem::create_directories(platform::AppHome::tmp());
  std::ofstream(platform::AppHome::tmp() / "com.quenby.stat") << "in the way";
  KoAPSStat list;
  list.add(point("a"));
  list.save();
  list.load();
  EXPECT_EQ(list.items().size(), 1u);
  EXPECT_EQ(KoAPSStat::directoryPath("localpool"), std::nullopt);
  EXPECT_EQ(KoAPSStat::directoryPath(""), std::nullopt);
}

TEST_F(StatPool, AnUploadFinishedInTheBackgroundNeitherResendsNorLoses) {
  {
    KoAPointStore store;
    store.addPoint(point("a"));
    store.addPoint(point("b"));
    auto upload = store.getSendPoint();
    ASSERT_EQ(upload.items.size(), 2u);
    // Into the background: the session ends, the pool is saved, and a point
    // comes in after the save; then the upload succeeds.
    store.addPoint(point("session"));
    store.save();
    store.addPoint(point("d"));
    store.cleanSendPoint(upload.nUploadID);
    store.addPoint(point("e"));
    // Back to the foreground.
    store.load();
    EXPECT_EQ(keys(store.getSendPoint().items), (Keys{"session(1)", "d(1)", "e(1)"}));
  }
  // The next launch reads what the file held after the removal.
  KoAPointStore relaunched;
  relaunched.load();
  EXPECT_EQ(keys(relaunched.getSendPoint().items), (Keys{"session(1)", "d(1)"}));
}

TEST_F(StatPool, SamplesLeaveWithTheUploadThatCarriedThem) {
  KoAPointStore store;
  KoANetRequestModel sample;
  sample.strURL = "http://127.0.0.1/one";
  store.addNetPoint(sample);
  auto upload = store.getNetRequestList();
  sample.strURL = "http://127.0.0.1/two";
  store.addNetPoint(sample);
  store.cleanNetRequest(upload.nUploadID);
  auto next = store.getNetRequestList();
  ASSERT_EQ(next.items.size(), 1u);
  EXPECT_EQ(next.items[0].strURL, "http://127.0.0.1/two");
  EXPECT_GT(next.nUploadID, upload.nUploadID);
}

TEST_F(StatPool, NamedTimers) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  KoAPointStore store;
  EXPECT_EQ(store.beginTime(""), 0.0);
  double start = store.beginTime("session");
  clock->advance(std::chrono::seconds(30));
  EXPECT_EQ(store.beginTime("session"), start);
  auto pair = store.endTime("session");
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->nStart, start);
  EXPECT_EQ(pair->getTimeInterval(), 30.0);
  EXPECT_EQ(store.endTime("session"), std::nullopt);
  EXPECT_EQ(store.endTime(""), std::nullopt);
  EXPECT_EQ((KoATimeModel{5, 4}).getTimeInterval(), -1.0);
  EXPECT_EQ((KoATimeModel{0, 4}).getTimeInterval(), -1.0);
}

}  // namespace
