// The estimate of a sync over a real address book and store: the changes
// found on both sides, those left after the conflict rules, and the number
// of requests.
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMUtils.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMContact;
using lumora::LMContactRelation;
using platform::Json;

class ContactSyncEstimate : public recordstoretest::AddressBookFixture {
 protected:
  // A saved person of the local source; its id.
  ab::RecordId savedPerson(const std::string& first, bool withPhoto = false) {
    ab::Record p = person(local(), first);
    if (withPhoto) {
      EXPECT_TRUE(p.setImageData(platform::Bytes{1, 2, 3}).ok());
    }
    EXPECT_TRUE(book_->save().ok());
    return p.id();
  }

  // A row for record `recordID` (-1: none) and cloud id `serverID`.
  void row(ab::RecordId recordID, std::int64_t serverID, const char* status, const Json& cloudContent = Json()) {
    LMContactRelation relation;
    relation.setRecordID(recordID);
    relation.setServerID(serverID);
    relation.setServerSync(serverID);
    relation.setLocalServerSync(serverID);
    relation.setLocalRecordSync(0.0);
    // What the person was at the last sync: something else, so a person
    // that has changed since reads as modified.
    relation.setLocalJsonString(lumora::LMUtils::stringFromJSONObject(Json{{"note", "before"}}).value());
    Json content = cloudContent.is_object() ? cloudContent : Json{{"name", {{"givenName", "Cloud"}}}};
    content["id"] = serverID;
    content["tag"] = serverID;
    relation.setJsonString(lumora::LMUtils::stringFromJSONObject(content).value());
    relation.setServerStatus(std::string(status));
    EXPECT_TRUE(adapter_->context()->addContactRelation(relation));
  }

  Json estimate() {
    auto result = adapter_->estimateSyncChanges(book_.get(), local());
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(adapter_->context()->localAddContactDic().empty());  // the change sets are cleared
    return result.ok() ? *result : Json();
  }

  static Json counts(std::int64_t add, std::int64_t modify, std::int64_t remove) {
    return Json{{"add", add}, {"modify", modify}, {"delete", remove}};
  }

  std::shared_ptr<lumora::LMContactSyncAdapter> adapter_ = std::make_shared<lumora::LMContactSyncAdapter>();
};

TEST_F(ContactSyncEstimate, RequestsAreOneBatchPerFiveChangesAndOnePerPhoto) {
  Json nothing = estimate();
  EXPECT_EQ(nothing, (Json{{"local", counts(0, 0, 0)},
                           {"localPredict", counts(0, 0, 0)},
                           {"lumora", counts(0, 0, 0)},
                           {"lumoraPredict", counts(0, 0, 0)},
                           {"requestCount", 0}}));

  for (int i = 0; i < 7; ++i) savedPerson("New" + std::to_string(i));
  Json sevenAdds = estimate();
  EXPECT_EQ(sevenAdds["local"], counts(7, 0, 0));
  EXPECT_EQ(sevenAdds["requestCount"], 2);

  // A cloud add with only a thumbnail, and five local changes with a photo.
  row(-1, 900, "custom", Json{{"photos", Json::array({Json{{"type", "thumbnail"}, {"value", "t1"}}})}});
  for (int i = 0; i < 5; ++i) row(savedPerson("Pictured" + std::to_string(i), true), 100 + i, "default");
  Json withPhotos = estimate();
  EXPECT_EQ(withPhotos["local"], counts(7, 5, 0));
  EXPECT_EQ(withPhotos["lumora"], counts(1, 0, 0));
  EXPECT_EQ(withPhotos["requestCount"], 5 + 3 + 1);  // photos, batches of 12 changes, thumbnail
}

TEST_F(ContactSyncEstimate, ConflictsArePredictedAsTheSyncSettlesThem) {
  // Changed here, deleted in the cloud: sent again as new.
  ab::RecordId changedHere = savedPerson("Changed");
  row(changedHere, 1, "deleted");
  EXPECT_EQ(estimate(), (Json{{"local", counts(0, 1, 0)},
                               {"lumora", counts(0, 0, 1)},
                               {"localPredict", counts(1, 0, 0)},
                               {"lumoraPredict", counts(0, 0, 0)},
                               {"requestCount", 1}}));
  ASSERT_TRUE(adapter_->context()->clearSynchronousData());
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(changedHere)).ok());
  ASSERT_TRUE(book_->save().ok());

  // Deleted on both sides: nothing to do. Changed in the cloud and deleted
  // here: created here again.
  row(4001, 2, "deleted");
  row(4002, 3, "custom");
  EXPECT_EQ(estimate(), (Json{{"local", counts(0, 0, 2)},
                               {"lumora", counts(0, 1, 1)},
                               {"localPredict", counts(0, 0, 0)},
                               {"lumoraPredict", counts(1, 0, 0)},
                               {"requestCount", 0}}));
}

}  // namespace
