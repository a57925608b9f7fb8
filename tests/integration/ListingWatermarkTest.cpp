// The paged listings (contact records, albums, an album's images) against a
// local cloud that misbehaves on purpose: a page whose tag the cloud itself
// would refuse is not taken over, a stored watermark the cloud refuses is
// dropped for a listing from the beginning, and a page that does not move
// ends its listing at once.
#include "ContactSyncFixture.h"

#include <chrono>
#include <cstdint>
#include <limits>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "server/http/FaultInjector.h"
#include "utils/LMErrors.h"

namespace contactsynctest {
namespace {

constexpr std::int64_t kCameraAlbum = 1;

class ListingWatermarkTest : public ContactSyncCloudTest {
 protected:
  void SetUp() override {
    ContactSyncCloudTest::SetUp();
    gallery_ = std::make_shared<lumora::LMImageSyncAdapter>();
  }
  void TearDown() override {
    gallery_.reset();
    ContactSyncCloudTest::TearDown();
  }

  std::string albumsPath() const { return std::string("/lum/gallery/v3/user/") + signedtest::kUserIdText + "/full/album"; }
  std::string imagesPath() const { return albumsPath() + "/" + std::to_string(kCameraAlbum); }

  struct Listed {
    std::optional<platform::Error> error;
    std::int64_t tag = -1;
    bool resync = false;
  };
  // A gallery listing (albums, or the camera album's images) from a
  // watermark, off the main thread.
  Listed listGallery(bool albums, std::optional<std::int64_t> tag, std::optional<std::string> extraInfo) {
    Listed listed;
    auto done = [&](std::int64_t newTag, const std::string&, const auto&, bool resync) {
      listed.tag = newTag;
      listed.resync = resync;
    };
    auto fail = [&](const platform::Error& error) { listed.error = error; };
    offMain([&] {
      if (albums) {
        gallery_->requestAlbumListWithSync(tag, extraInfo, done, fail);
      } else {
        gallery_->requestImageListInAlbumWithSync(tag, extraInfo, kCameraAlbum, done, fail);
      }
    });
    return listed;
  }

  // The served replies of `path` get these members in their "data".
  void changeReplies(const std::string& path, platform::Json members, int times) {
    localcloud::Fault fault;
    fault.replyData = std::move(members);
    fault.times = times;
    server_->faults().set(path, fault);
  }

  std::shared_ptr<lumora::LMImageSyncAdapter> gallery_;
};

TEST_F(ListingWatermarkTest, ATagTheCloudWouldRefuseIsNotTakenAndAStoredOneIsDropped) {
  addCloudContact(contactNamed("Kept", "Person"));
  auto store = contacts_->context();
  for (const std::int64_t bad : {std::int64_t{-1}, std::numeric_limits<std::int64_t>::max(),
                                 std::numeric_limits<std::int64_t>::min()}) {
    SCOPED_TRACE(bad);
    // The page is malformed: the load fails, the watermark stays, and the
    // next sync works (before, the tag was stored and every later sync was
    // refused).
    const std::int64_t before = store->serverSync();
    changeReplies(listPath(), {{"syncTag", bad}}, 1);
    platform::Status refused = sync();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code(), lumora::kLMServerErrorUnknownReply);
    EXPECT_EQ(store->serverSync(), before);
    ASSERT_TRUE(sync().ok());
    for (const bool albums : {true, false}) {
      changeReplies(albums ? albumsPath() : imagesPath(), {{"syncTag", bad}}, 1);
      Listed listed = listGallery(albums, std::nullopt, std::nullopt);
      ASSERT_TRUE(listed.error) << albums;
      EXPECT_EQ(listed.error->code(), lumora::kLMServerErrorUnknownReply);
    }

    // Stored by an earlier version: the cloud refuses it, the listing starts
    // from the beginning and the sync works at once.
    store->setServerSync(bad);
    ASSERT_TRUE(sync().ok());
    EXPECT_GE(store->serverSync(), 0);
    EXPECT_EQ(people().count("Kept Person"), 1u);
    for (const bool albums : {true, false}) {
      Listed listed = listGallery(albums, bad, "stored");
      EXPECT_FALSE(listed.error) << albums;
      EXPECT_TRUE(listed.resync);
      EXPECT_GE(listed.tag, 0);
    }
  }
  EXPECT_EQ(people().size(), 1u);
  EXPECT_EQ(cloudContacts().size(), 1u);
}

TEST_F(ListingWatermarkTest, APageThatDoesNotMoveEndsItsListingAtOnce) {
  addCloudContact(contactNamed("Some", "Body"));
  // Every page says it is not the last: from the newest tag the cloud hands
  // the same page again. Before, only the page bound (1000 pages, 600 s of
  // gallery pacing) ended the listing.
  for (const std::string& path : {listPath(), albumsPath(), imagesPath()}) {
    SCOPED_TRACE(path);
    changeReplies(path, {{"lastPage", false}}, -1);
    server_->signedEndpoints().clearJournal();
    const auto slept = clock_->sleptTotal();
    std::optional<platform::Error> error;
    if (path == listPath()) {
      platform::Status loaded = sync();
      if (!loaded.ok()) error = loaded.error();
    } else {
      error = listGallery(path == albumsPath(), std::nullopt, std::nullopt).error;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), lumora::kLMServerErrorUnknownReply);
    EXPECT_EQ(callsTo(path), 2u);
    // The gallery's pacing of two pages, no more.
    EXPECT_LE(std::chrono::duration<double>(clock_->sleptTotal() - slept).count(), 2 * 2.5 + 1e-6);
    server_->faults().clearAll();
  }
}

}  // namespace
}  // namespace contactsynctest
