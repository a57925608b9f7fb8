// The contacts watermark and its extra information in user defaults, and the
// clearing of all sync data.
#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreTestSupport.h"

namespace {

using lumora::LMContactRelation;
using lumora::LMManagedRecordContext;

class RecordStoreWatermark : public recordstoretest::StoreFixture {
 protected:
  LMManagedRecordContext store_;
};

TEST_F(RecordStoreWatermark, FreshInstallReadsZeroAndStoresIt) {
  ASSERT_FALSE(defaults().hasKey("LumoraServerSync"));
  EXPECT_EQ(store_.serverSync(), 0);
  auto stored = defaults().objectForKey("LumoraServerSync");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(std::get<std::int64_t>(*stored), 0);
  EXPECT_FALSE(store_.serverSyncExtraInfo().has_value());
}

TEST_F(RecordStoreWatermark, KeptAcrossStoresAndRemovedByNullopt) {
  store_.setServerSync(1234567890123);
  store_.setServerSyncExtraInfo("cursor:abc");
  EXPECT_EQ(defaults().integerForKey("LumoraServerSync"), 1234567890123);
  EXPECT_EQ(defaults().stringForKey("LumoraServerSyncExtraInfo"), "cursor:abc");
  {
    LMManagedRecordContext other;
    EXPECT_EQ(other.serverSync(), 1234567890123);
    EXPECT_EQ(other.serverSyncExtraInfo(), "cursor:abc");
  }

  store_.setServerSync(std::nullopt);
  EXPECT_FALSE(defaults().hasKey("LumoraServerSync"));
  EXPECT_EQ(store_.serverSync(), 0);  // read again: missing, so 0 is stored
  EXPECT_TRUE(defaults().hasKey("LumoraServerSync"));

  store_.setServerSyncExtraInfo("");
  EXPECT_FALSE(defaults().hasKey("LumoraServerSyncExtraInfo"));
  EXPECT_FALSE(store_.serverSyncExtraInfo().has_value());
  store_.setServerSyncExtraInfo("x");
  store_.setServerSyncExtraInfo(std::nullopt);
  EXPECT_FALSE(defaults().hasKey("LumoraServerSyncExtraInfo"));
}

TEST_F(RecordStoreWatermark, ClearingDropsRowsAndResetsWatermark) {
  EXPECT_TRUE(store_.clearSynchronousData());  // also on an empty store
  LMContactRelation row;
  row.setServerID(1);
  row.setServerSync(2);
  ASSERT_TRUE(store_.addContactRelation(row));
  store_.setServerSync(77);
  store_.setServerSyncExtraInfo("more");
  EXPECT_TRUE(store_.clearSynchronousData());
  EXPECT_TRUE(store_.searchAllContactRelations()->empty());
  EXPECT_EQ(store_.serverSync(), 0);
  EXPECT_EQ(defaults().integerForKey("LumoraServerSync"), 0);
  EXPECT_TRUE(defaults().hasKey("LumoraServerSync"));
  EXPECT_FALSE(defaults().hasKey("LumoraServerSyncExtraInfo"));
}

}  // namespace
