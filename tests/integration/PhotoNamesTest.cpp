// Photos whose names are not UTF-8 (Latin-1, as older cameras, memory cards
// and zip files made on Windows write them), or hold a backslash, against
// the local cloud: each goes up once under a UTF-8 name, read by its own
// bytes, a second run sends nothing, and a fresh library gets each back
// byte for byte under a name valid on disk, beside the user's files. A
// request that cannot be made on this machine is the photo's own failure,
// named by its place, never the cloud's; the other photos go on.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DemoRun.h"
#include "GalleryTestSupport.h"
#include "SignedRequestFixture.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/AppHome.h"
#include "server/services/GalleryService.h"
#include "support/DamagedAddressBook.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
using lumora::LMImage;
using platform::Bytes;

// What one backup run reported.
struct NamesRunReport {
  std::uint64_t toUpload = 0;
  int uploaded = 0;
  int tried = 0;
  std::vector<platform::Error> failures;
  std::optional<platform::Error> failed;
  bool finished = false;
};

class PhotoNamesTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    openLibrary();
  }
  void TearDown() override {
    gallery.reset();
    SignedRequestCloudTest::TearDown();
  }

  // The current app home's library, signed in, with an adapter of its own
  // that records what a run reports.
  void openLibrary() {
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    signInWithKnownKey();
    gallery = std::make_shared<lumora::LMImageSyncAdapter>();
    delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
    delegate->willAdapterUploadImagesCount = [this](std::uint64_t count) { run.toUpload = count; };
    delegate->willAdapterUploadImage = [this](const LMImage&, std::uint64_t, std::uint64_t) { ++run.tried; };
    delegate->didAdapterUploadImage = [this](const std::optional<LMImage>& image, std::uint64_t, std::uint64_t) {
      if (image) ++run.uploaded;
    };
    delegate->didAdapterFailUploadImage = [this](const std::optional<LMImage>&, const platform::Error& error,
                                                 std::uint64_t, std::uint64_t) { run.failures.push_back(error); };
    delegate->didAdapterFinishBackupImages = [this](const std::vector<LMImage>&, std::uint64_t) {
      run.finished = true;
    };
    delegate->didAdapterFailBackupImages = [this](const platform::Error& error) { run.failed = error; };
    gallery->setDelegate(delegate);
  }

  NamesRunReport backUp() {
    run = NamesRunReport();
    auto done = std::make_shared<platform::Semaphore>(0);
    gallery->performTaskBlock([this, done] {
      gallery->backupAllImages();
      done->signal();
    });
    offMain([done] { done->wait(); });
    return run;
  }

  // The cloud's live images of the camera album: file name -> SHA-1.
  std::map<std::string, std::string> cloudFiles() {
    std::map<std::string, std::string> files;
    for (const auto& image : server_->gallery().records().images(signedtest::kUserId)) {
      if (image.status != "custom" || image.albumId != 1) continue;
      EXPECT_FALSE(files.count(image.content.value("fileName", ""))) << "sent twice";
      files[image.content.value("fileName", "")] = image.sha1;
    }
    return files;
  }

  // The upload requests the cloud received.
  std::size_t uploadRequests() {
    return calls("/lum/gallery/v3/user/" + std::string(signedtest::kUserIdText) + "/full").size();
  }

  std::shared_ptr<platform::ManualClock> clock = gallerytest::pacingFreeClock();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<lumora::LMImageSyncAdapter> gallery;
  std::shared_ptr<lumora::LMImageSyncAdapterDelegate> delegate;
  NamesRunReport run;
};

std::string sha1Of(const Bytes& bytes) { return lumora::sha1String(bytes); }

// Latin-1 in a file name, a folder name, an album title and the camera's
// own EXIF texts, and backslashes in a file and a folder name.
TEST_F(PhotoNamesTest, LegacyAndBackslashNamesGoUpOnceAsUtf8AndComeBackByteForByte) {
  const fs::path media = photos::PhotoLibrary::folder();
  testsupport::TestExif latin1Camera;
  latin1Camera.make = "Soci\xe9t\xe9";
  latin1Camera.model = "\xc9" "clair 2";
  struct Photo {
    fs::path file;          // in the library, by its own bytes
    std::string cloudName;  // as the cloud has it
    Bytes bytes;
  };
  const std::vector<Photo> photos = {
      {media / "caf\xe9.jpg", "caf\xc3\xa9.jpg", testsupport::readFile(testsupport::mediaSamplePath("photo.jpg"))},
      {media / "\xc9t\xe9 2009" / "plage.png", "plage.png",
       testsupport::readFile(testsupport::mediaSamplePath("photo.png"))},
      {media / "IMG\\1.JPG", "IMG\\1.JPG", testsupport::makeJpeg(40, 30)},
      {media / "a\\b" / "anim.gif", "anim.gif", testsupport::readFile(testsupport::mediaSamplePath("photo.gif"))},
      {media / "\xc9t\xe9 2009" / "d\xe9j\xe0 vu.heic", "d\xc3\xa9j\xc3\xa0 vu.heic",
       testsupport::readFile(testsupport::mediaSamplePath("photo.heic"))},
      {media / "IMG_0005.JPG", "IMG_0005.JPG", testsupport::makeJpeg(44, 30, latin1Camera)},
  };
  std::map<std::string, std::string> expected;
  for (const Photo& photo : photos) {
    testsupport::writeFile(photo.file, photo.bytes);
    expected[photo.cloudName] = sha1Of(photo.bytes);
  }

  // The Latin-1 photo is in an album of a Latin-1 title too.
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  std::vector<std::string> inAlbum;
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    if (asset.file == photos[0].file) inAlbum.push_back(asset.localIdentifier);
  }
  ASSERT_EQ(inAlbum.size(), 1u);
  ASSERT_TRUE(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.addAssets(changes.creationRequestForAssetCollectionWithTitle("Vacances d'\xe9t\xe9"), inAlbum);
  }));

  NamesRunReport first = backUp();
  ASSERT_FALSE(first.failed) << first.failed->description();
  for (const auto& failure : first.failures) ADD_FAILURE() << failure.description();
  EXPECT_TRUE(first.finished);
  EXPECT_EQ(first.uploaded, static_cast<int>(photos.size()) + 1);
  EXPECT_EQ(cloudFiles(), expected);
  std::int64_t summer = 0;
  for (const auto& album : server_->gallery().records().albums(signedtest::kUserId)) {
    if (album.name == "Vacances d'\xc3\xa9t\xc3\xa9") summer = album.id;
  }
  ASSERT_GT(summer, 2) << "the album under its UTF-8 title";
  for (const auto& image : server_->gallery().records().images(signedtest::kUserId)) {
    const std::string name = image.content.value("fileName", "");
    if (image.albumId == summer) {
      EXPECT_EQ(name, "caf\xc3\xa9.jpg");
    }
    if (name == "caf\xc3\xa9.jpg") {
      EXPECT_EQ(image.content.value("title", ""), "caf\xc3\xa9");
    }
    if (name == "IMG_0005.JPG") {
      const platform::Json exif = image.content.value("exifInfo", platform::Json::object());
      EXPECT_EQ(exif.value("make", ""), "Soci\xc3\xa9t\xc3\xa9");
      EXPECT_EQ(exif.value("model", ""), "\xc3\x89" "clair 2");
    }
  }

  // The same names every run: nothing is sent again.
  const std::size_t asked = uploadRequests();
  NamesRunReport second = backUp();
  ASSERT_FALSE(second.failed) << second.failed->description();
  EXPECT_EQ(second.toUpload, 0u);
  EXPECT_EQ(second.tried, 0);
  EXPECT_TRUE(second.failures.empty());
  EXPECT_EQ(uploadRequests(), asked);
  EXPECT_EQ(cloudFiles(), expected);

  // A fresh phone whose library holds a photo of the user's under one of
  // those names: every photo comes back byte for byte under its UTF-8
  // name, the user's file is neither written over nor through.
  const std::vector<LMImage> images = [&] {
    std::vector<LMImage> listed;
    offMain([&] { listed = gallerytest::listCloudImages(*gallery, 1); });
    return listed;
  }();
  ASSERT_EQ(images.size(), photos.size());
  testsupport::TestHome fresh;
  openLibrary();
  const fs::path freshMedia = photos::PhotoLibrary::folder();
  const Bytes theirs = testsupport::makeJpeg(24, 16);
  testsupport::writeFile(freshMedia / "caf\xc3\xa9.jpg", theirs);
  lumora::LMAlbum cameraAlbum;
  cameraAlbum.serverID = 1;
  cameraAlbum.name = "untitled";
  std::int64_t total = 0;
  for (const auto& image : images) total += image.size.value_or(0);
  std::optional<platform::Error> error;
  std::vector<LMImage> failed;
  offMain([&] {
    gallery->downloadAlbums({cameraAlbum}, {{1, images}}, total, nullptr,
                            [&](const std::vector<LMImage>& f, const std::optional<platform::Error>& e) {
                              failed = f;
                              error = e;
                            });
  });
  ASSERT_FALSE(error) << error->description();
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(testsupport::readFile(freshMedia / "caf\xc3\xa9.jpg"), theirs);
  std::map<std::string, std::string> restored;
  for (const auto& entry : fs::directory_iterator(freshMedia)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(platform::isValidUtf8(name)) << name;
    if (name != "caf\xc3\xa9.jpg") restored[name] = sha1Of(testsupport::readFile(entry.path()));
  }
  std::map<std::string, std::string> expectedBack = expected;
  expectedBack["caf\xc3\xa9 1.jpg"] = expectedBack["caf\xc3\xa9.jpg"];
  expectedBack.erase("caf\xc3\xa9.jpg");
  EXPECT_EQ(restored, expectedBack);
}

// A request whose JSON cannot hold a text of the photo (one that is not
// UTF-8) is not made: nothing reaches the cloud, and the failure is this
// machine's (the request's parameters), with the JSON writer's error under
// it, never one the cloud answered.
TEST_F(PhotoNamesTest, ARequestThatCannotBeMadeFailsHereAndSendsNothing) {
  const Bytes file = testsupport::makeJpeg(40, 30);
  LMImage image;
  image.type = lumora::kLMAssetTypeImage;
  image.assetID = "asset-1";
  image.serverGroupID = 1;
  image.fileName = "caf\xe9.jpg";
  image.size = static_cast<std::int64_t>(file.size());
  image.sha1 = sha1Of(file);
  image.blockInfos = platform::Json::array(
      {{{"sha1", image.sha1.value()}, {"md5", std::string(32, '0')}, {"size", file.size()}}});
  platform::Status outcome;
  offMain([&] { outcome = gallery->backupImage(image); });
  ASSERT_FALSE(outcome.ok());
  const platform::Error& error = outcome.error();
  EXPECT_EQ(error.domain(), lumora::kLMLocalErrorDomain) << error.description();
  EXPECT_EQ(error.code(), lumora::kLMLocalErrorInvalidParameters) << error.description();
  ASSERT_TRUE(error.underlying());
  EXPECT_EQ(error.underlying()->domain(), lumora::kLMJSONErrorDomain);
  EXPECT_FALSE(lumora::LMImageSyncAdapter::shouldStopBackupImageWithError(error));
  EXPECT_EQ(uploadRequests(), 0u);
}

}  // namespace

namespace signedtest {
namespace {

// The demo on a library of the user's that holds a Latin-1 name, a folder
// of one and a backslash name beside a plain one: all four go up, the run
// ends well and names nothing as failed; the next run sends nothing.
TEST_F(SignedRequestCloudTest, ADemoBacksUpPhotosWhoseNamesAreNotUtf8Once) {
  platform::ScopedClock scoped(demoClock());
  testsupport::makeWholeAddressBook(1);
  const fs::path media = photos::PhotoLibrary::folder();
  testsupport::writeFile(media / "caf\xe9.jpg", testsupport::readFile(testsupport::mediaSamplePath("photo.jpg")));
  testsupport::writeFile(media / "\xc9t\xe9" / "IMG_0001.JPG", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(media / "IMG\\1.JPG", testsupport::makeJpeg(41, 30));
  testsupport::writeFile(media / "IMG_0002.JPG", testsupport::makeJpeg(42, 30));
  DemoRunResult run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_NE(run.out.find("ok: 4 photos in the library; sent now: 4 photos in 4 of 4 uploads"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("failed: "), std::string::npos) << run.out;
  run = demoRun(aliceOptions());
  EXPECT_EQ(run.status, lumora::kDemoExitOk) << run.out << run.err;
  EXPECT_NE(run.out.find("ok: 4 photos in the library; sent now: 0 photos in 0 of 0 uploads"), std::string::npos)
      << run.out;
}

// A photo whose upload cannot be made on this machine (here its edited
// rendering cannot be written out to be sent; a request whose JSON cannot
// hold a text of it fails as this machine's the same way) fails before the
// cloud hears of it: it is named by its place in the library, the other
// photos go up, and the demo ends as this machine's failure (status 1),
// never told as a request the cloud refused.
TEST_F(SignedRequestCloudTest, ADemoTellsAPhotoThatFailsBeforeItIsSentAsThisMachinesFailure) {
  platform::ScopedClock scoped(demoClock());
  testsupport::makeWholeAddressBook(1);
  const fs::path media = photos::PhotoLibrary::folder();
  testsupport::writeFile(media / "\xc9t\xe9" / "caf\xe9.jpg", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(media / "IMG_0002.JPG", testsupport::makeJpeg(42, 30));
  testsupport::writeFile(lumora::LMUtils::imageTransferDirectory() / "caf\xe9.jpg.partial" / "held", {1});
  auto& manager = photos::ImageManager::defaultManager();
  manager.setPhotoDataRendered(true);
  const DemoRunResult run = demoRun(aliceOptions());
  manager.setPhotoDataRendered(false);
  EXPECT_EQ(run.status, lumora::kDemoExitLocalFailure) << run.out << run.err;
  EXPECT_NE(run.out.find("failed: \\xc9t\\xe9/caf\\xe9.jpg: Save temp image data to disk error.\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("sent now: 1 photo in 1 of 2 uploads"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("a step failed on this machine at step 9: \\xc9t\\xe9/caf\\xe9.jpg: "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("The photo " + media.string() +
                         "/\\xc9t\\xe9/caf\\xe9.jpg failed on this machine, for the reason above; the other "
                         "photos went on"),
            std::string::npos)
      << run.err;
  for (const std::string& text : {run.out, run.err}) {
    EXPECT_EQ(text.find("cloud refused"), std::string::npos) << text;
    EXPECT_EQ(text.find("Domain"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace signedtest
