// One photo of the library backed up to the local cloud's gallery and
// brought back: exported, asked for, sent as three RC4-encrypted blocks,
// committed and recorded; a second backup sends no block, nor does one after
// a damaged store was made again; a cancel during a block leaves no
// relation; the stored image downloads checked block by
// block, and a damaged block fails after its tries.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "GalleryTestSupport.h"
#include "SignedRequestFixture.h"
#include "cloud/kss/LMKssDescription.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/DamagedFile.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
using lumora::LMImage;
using platform::Bytes;
using platform::Error;

constexpr std::size_t kBlock = 4194304;
constexpr std::int64_t kUntitledAlbum = 1;

class GalleryBackupTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    signInWithKnownKey();
    gallery = std::make_shared<lumora::LMImageSyncAdapter>();
    delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
    delegate->didAdapterUploadImageBytesWritten = [this](const LMImage&, std::int64_t written, std::int64_t,
                                                         std::int64_t) {
      sent += written;
      if (cancelOnProgress) gallery->cancelSync();
    };
    gallery->setDelegate(delegate);
  }
  void TearDown() override {
    gallery.reset();
    SignedRequestCloudTest::TearDown();
  }

  // A photo of `size` bytes (a JPEG padded out) put into the library.
  photos::Asset addPhoto(const std::string& name, std::size_t size) {
    photo = testsupport::makeJpeg(64, 48);
    for (std::size_t i = photo.size(); i < size; ++i) photo.push_back(static_cast<std::uint8_t>((i * 2654435761u) >> 13));
    testsupport::writeFile(photos::PhotoLibrary::folder() / name, photo);
    for (const auto& asset :
         photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
      if (asset.file.filename() == name) return asset;
    }
    ADD_FAILURE() << name << " is not in the library";
    return {};
  }

  // Exports the asset and backs it up, off the main thread.
  std::optional<Error> backUp(const photos::Asset& asset, LMImage* exported = nullptr) {
    std::optional<Error> outcome;
    offMain([&] {
      auto image = LMImage::initWithAsset(&asset);
      ASSERT_TRUE(image && !image->error);
      image->assetGroupID = "camera-roll";
      image->serverGroupID = kUntitledAlbum;
      if (auto done = gallery->backupImage(*image); !done) outcome = done.error();
      if (exported) *exported = *image;
    });
    return outcome;
  }

  std::vector<LMImage> cloudImages() {
    std::vector<LMImage> listed;
    offMain([&] { listed = gallerytest::listCloudImages(*gallery, kUntitledAlbum); });
    return listed;
  }

  struct Download {
    std::optional<lumora::LMKssFileHelper::FileResult> result;
    std::optional<Error> error;
  };
  Download download(const LMImage& image) {
    Download out;
    offMain([&] {
      gallery->downloadDataFromImageObject(image, nullptr, [&](const auto& result, const auto& error) {
        out.result = result;
        out.error = error;
      });
    });
    return out;
  }

  // The gallery's pacing passes at once.
  std::shared_ptr<platform::ManualClock> clock = gallerytest::pacingFreeClock();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<lumora::LMImageSyncAdapter> gallery;
  std::shared_ptr<lumora::LMImageSyncAdapterDelegate> delegate;
  Bytes photo;
  std::int64_t sent = 0;
  bool cancelOnProgress = false;
};

TEST_F(GalleryBackupTest, APhotoOfThreeBlocksIsStoredOnceAndComesBackChecked) {
  const photos::Asset asset = addPhoto("IMG_0001.JPG", 2 * kBlock + 1);
  LMImage image;
  ASSERT_FALSE(backUp(asset, &image));
  EXPECT_EQ(image.blockInfos.size(), 3u);
  EXPECT_EQ(sent, static_cast<std::int64_t>(photo.size()));
  // Read from the library's file where it lies: no copy made, the file kept.
  EXPECT_FALSE(image.filePath);
  EXPECT_EQ(image.libraryFilePath, asset.file.string());
  EXPECT_TRUE(fs::exists(asset.file));

  auto rows = gallery->context()->searchAllImageRelations().value();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].sha1, lumora::sha1String(photo));
  EXPECT_EQ(rows[0].assetID, asset.localIdentifier);
  auto listed = cloudImages();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].serverID, rows[0].serverID);
  EXPECT_EQ(listed[0].sha1, rows[0].sha1);

  // Backed up again: nothing is sent, the row stays one.
  sent = 0;
  ASSERT_FALSE(backUp(asset));
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(gallery->context()->searchAllImageRelations()->size(), 1u);

  // Back from the cloud, into the caches directory.
  LMImage stored = listed[0];
  Download back = download(stored);
  ASSERT_FALSE(back.error) << back.error->description();
  EXPECT_EQ(testsupport::readFile(std::get<std::string>(*back.result)), photo);

  // A block damaged where the cloud keeps it: the download fails after
  // its tries.
  const std::string sha1 = lumora::sha1String(Bytes(photo.begin() + kBlock, photo.begin() + 2 * kBlock));
  bool damaged = false;
  for (const auto& entry : fs::recursive_directory_iterator(home_.root() / "cloud")) {
    if (entry.is_regular_file() && entry.path().filename() == sha1) {
      std::fstream blob(entry.path(), std::ios::binary | std::ios::in | std::ios::out);
      blob.seekp(100);
      blob.put(static_cast<char>(photo[kBlock + 100] ^ 0x5a));
      damaged = true;
    }
  }
  ASSERT_TRUE(damaged) << "the block is not where the cloud keeps its blocks";
  Download broken = download(stored);
  ASSERT_TRUE(broken.error);
  EXPECT_EQ(broken.error->userInfo()[lumora::kLMErrorReasonKey], lumora::kLMKssReasonWrongBlock);
}

TEST_F(GalleryBackupTest, ADamagedStoreIsMadeAgainAndTheNextBackupStoresNothingTwice) {
  const photos::Asset asset = addPhoto("IMG_0002.JPG", 1000);
  ASSERT_FALSE(backUp(asset));
  const fs::path file = lumora::LMUtils::applicationDocumentsDirectory() / lumora::kLMGalleryDatabaseFileName;
  struct Damage {
    const char* what;
    char fill;
    bool whileRunning;  // else between two launches
  };
  int aside = 0;
  for (const Damage& damage : {Damage{"page zeroed", '\0', false}, Damage{"page of garbage", '\x5a', false},
                               Damage{"pages zeroed while running", '\0', true}}) {
    SCOPED_TRACE(damage.what);
    if (damage.whileRunning) {
      testsupport::damagePagesInUse(file, damage.fill);
      (void)backUp(asset);  // may fail: it meets the damage
    } else {
      gallery.reset();
      testsupport::damagePages(file, damage.fill);
      gallery = std::make_shared<lumora::LMImageSyncAdapter>();
      gallery->setDelegate(delegate);
    }
    sent = 0;
    ASSERT_FALSE(backUp(asset));
    EXPECT_EQ(sent, 0) << "the cloud holds the photo already";
    EXPECT_EQ(cloudImages().size(), 1u);
    EXPECT_EQ(gallery->context()->searchAllImageRelations()->size(), 1u);
    EXPECT_EQ(testsupport::movedAside(file), ++aside);
  }
}

TEST_F(GalleryBackupTest, ACancelDuringABlockGivesTheCancellationAndNoRelation) {
  const photos::Asset asset = addPhoto("IMG_0002.JPG", 2 * kBlock + 1);
  // The storage node answers the first block late, so the cancel lands
  // while that block is in flight.
  offMain([&] {
    auto image = LMImage::initWithAsset(&asset);
    ASSERT_TRUE(image && !image->error);
    image->serverGroupID = kUntitledAlbum;
    auto reply = gallery->requestImageUploadUrlsWithImage(*image)->result();
    ASSERT_TRUE(reply.ok()) << reply.error().description();
    const std::string node = (*reply)["data"]["kss"]["node_urls"][0];
    const std::string path = node.substr(node.find('/', node.find("//") + 2)) + "/upload_block_chunk";
    localcloud::Fault slow;
    slow.delayMs = 3000;
    slow.times = 1;
    server_->faults().set(path, slow);
  });
  cancelOnProgress = true;
  gallery->setSyncing(true);
  auto error = backUp(asset);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorCancelled);
  EXPECT_TRUE(gallery->context()->searchAllImageRelations()->empty());
  gallery->setSyncing(false);
  EXPECT_TRUE(cloudImages().empty());
}

}  // namespace
