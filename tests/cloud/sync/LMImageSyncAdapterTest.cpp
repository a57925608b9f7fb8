#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "account/QBPassport.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "platform/device/Device.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using namespace std::chrono_literals;
using platform::Error;
namespace fs = std::filesystem;

TEST(LMImageSyncAdapterRulesTest, ReservedAlbumNames) {
  for (const char* name : {"Screenshots", "MY PHOTOS", "Camera Photos", "screenshot", "截屏", "相機", "我的照片"}) {
    EXPECT_TRUE(LMImageSyncAdapter::isAlbumNameReserved(std::string(name))) << name;
  }
  for (const char* name : {"Camera", "photos", "", "Screenshots 2"}) {
    EXPECT_FALSE(LMImageSyncAdapter::isAlbumNameReserved(std::string(name))) << name;
  }
  EXPECT_FALSE(LMImageSyncAdapter::isAlbumNameReserved(std::nullopt));
}

TEST(LMImageSyncAdapterRulesTest, StopRule) {
  const std::string url = platform::http::kURLErrorDomain;
  const std::pair<Error, bool> cases[] = {
      {Error(platform::kPOSIXErrorDomain, 28), true},
      {Error(kLMLocalErrorDomain, kLMLocalErrorCancelled), true},
      {Error(kLMLocalErrorDomain, kLMLocalErrorGeneral), false},
      {Error(url, -1009), true},
      {Error(url, -1003), true},
      {Error(url, -1001), false},
      {Error("ALAssetsLibraryErrorDomain", -3311), true},
      {Error(kLMServerErrorDomain, 50021), true},
      {Error(kLMServerErrorDomain, 50023), false},
      {Error(QBPassport::kErrorDomain, 70016), true},
      {Error("SomeOtherDomain", -1009), false},
  };
  for (const auto& [error, stops] : cases) {
    EXPECT_EQ(LMImageSyncAdapter::shouldStopBackupImageWithError(error), stops) << error.description();
  }
}

class LMImageSyncAdapterTest : public ::testing::Test {
 protected:
  testsupport::TestHome home;
  std::shared_ptr<LMImageSyncAdapter> adapter = std::make_shared<LMImageSyncAdapter>();
};

TEST_F(LMImageSyncAdapterTest, SuspendResumeAndCancelOnlyWhileSyncing) {
  EXPECT_FALSE(adapter->suspendSync());
  EXPECT_FALSE(adapter->dataRequestOperationQueue().isSuspended());
  EXPECT_FALSE(adapter->cancelSync());
  EXPECT_TRUE(adapter->checkSyncState());

  adapter->setSyncing(true);
  EXPECT_TRUE(adapter->suspendSync());
  EXPECT_TRUE(adapter->dataRequestOperationQueue().isSuspended());
  EXPECT_FALSE(adapter->suspendSync());
  EXPECT_TRUE(adapter->resumeSync());
  EXPECT_FALSE(adapter->dataRequestOperationQueue().isSuspended());
  EXPECT_FALSE(adapter->resumeSync());
  EXPECT_TRUE(adapter->cancelSync());
  EXPECT_FALSE(adapter->cancelSync());
  EXPECT_FALSE(adapter->resumeSync());
  EXPECT_FALSE(adapter->suspendSync());
  auto state = adapter->checkSyncState();
  ASSERT_FALSE(state);
  EXPECT_EQ(state.error(), LMImageSyncAdapter::cancellationError());
  EXPECT_EQ(state.error().userInfo()["reason"], "Backup process is cancelled.");

  // A new run starts clean.
  adapter->setSyncing(false);
  adapter->setSyncing(true);
  EXPECT_TRUE(adapter->checkSyncState());
}

TEST_F(LMImageSyncAdapterTest, ASuspendedRunWaitsUntilResumedOrCancelledFromAnotherThread) {
  adapter->setSyncing(true);
  for (bool cancel : {false, true}) {
    ASSERT_TRUE(adapter->suspendSync());
    auto run = std::async(std::launch::async, [&] { return adapter->checkSyncState(); });
    EXPECT_EQ(run.wait_for(50ms), std::future_status::timeout);  // still held
    if (cancel) {
      ASSERT_TRUE(adapter->cancelSync());
      auto state = run.get();
      ASSERT_FALSE(state);
      EXPECT_EQ(state.error().code(), kLMLocalErrorCancelled);
      EXPECT_FALSE(adapter->isSuspended());
    } else {
      ASSERT_TRUE(adapter->resumeSync());
      EXPECT_TRUE(run.get());
    }
  }
  // Many runs of resume and suspend racing with the backup never lose a wake-up.
  adapter->setSyncing(false);
  adapter->setSyncing(true);
  auto backup = std::async(std::launch::async, [&] {
    for (int step = 0; step < 2000; ++step) {
      if (!adapter->checkSyncState()) return step;
    }
    return -1;
  });
  for (int i = 0; i < 200; ++i) {
    adapter->suspendSync();
    adapter->resumeSync();
  }
  adapter->suspendSync();
  adapter->cancelSync();
  ASSERT_EQ(backup.wait_for(testsupport::scaled(10s)), std::future_status::ready);  // never left waiting
  EXPECT_FALSE(adapter->checkSyncState());
}

TEST_F(LMImageSyncAdapterTest, AlbumRelationIsStoredOnceAndCachedFilesRemovedSafely) {
  namespace photos = platform::photos;
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  auto cameraRoll = photos::PhotoLibrary::sharedPhotoLibrary()
                        ->fetchAssetCollectionsWithType(photos::CollectionType::SmartAlbum,
                                                        photos::CollectionSubtype::SmartAlbumUserLibrary)
                        .at(0);
  LMAlbum cloud;
  cloud.serverID = 5;
  cloud.sync = 1;
  EXPECT_TRUE(adapter->saveRelationServerAlbum(cloud, cameraRoll));
  cloud.sync = 2;
  EXPECT_TRUE(adapter->saveRelationServerAlbum(cloud, cameraRoll));
  auto rows = adapter->context()->searchAllAlbumRelations().value();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].assetID, cameraRoll.localIdentifier);
  EXPECT_EQ(rows[0].serverSync, 2);
  // Below 8.0 only a group of the older interface names an album (the same
  // row); the newer interface's album names none and stores nothing.
  const platform::DeviceFacts saved = platform::Device::configured();
  platform::DeviceFacts older = saved;
  older.systemVersion = "7.1";
  platform::Device::configure(older);
  photos::AssetsLibrary library;
  photos::AssetsGroup group;
  group.persistentID = cameraRoll.localIdentifier;
  cloud.sync = 3;
  const auto newerForm = adapter->saveRelationServerAlbum(cloud, cameraRoll);
  const auto olderForm = adapter->saveRelationServerAlbum(cloud, group, library);
  platform::Device::configure(saved);
  EXPECT_FALSE(newerForm);
  EXPECT_TRUE(olderForm);
  rows = adapter->context()->searchAllAlbumRelations().value();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].serverSync, 3);

  const fs::path caches = LMUtils::imageTransferDirectory();
  std::filesystem::create_directories(caches / "folder");
  std::ofstream(caches / "photo.jpg") << "x";
  std::ofstream(home.root() / "outside.jpg") << "x";
  for (const char* unsafe : {"", ".", "..", "../outside.jpg", "folder/../.."}) adapter->removeImageObjectWithFileName(unsafe);
  EXPECT_TRUE(fs::exists(caches / "photo.jpg"));
  EXPECT_TRUE(fs::exists(home.root() / "outside.jpg"));
  adapter->removeImageObjectWithFileName("photo.jpg");
  adapter->removeImageObjectWithFileName("folder");
  adapter->removeImageObjectWithFileName("never-there.jpg");
  EXPECT_FALSE(fs::exists(caches / "photo.jpg"));
  EXPECT_FALSE(fs::exists(caches / "folder"));  // the sync's own, whatever it is
  EXPECT_TRUE(fs::is_directory(caches));
}

TEST_F(LMImageSyncAdapterTest, DelegateMethodsRunOnTheMainThreadOnlyWhenProvided) {
  auto delegate = std::make_shared<LMImageSyncAdapterDelegate>();
  std::optional<bool> onMain;
  std::uint64_t seenIndex = 0;
  delegate->willAdapterUploadImage = [&](const LMImage&, std::uint64_t index, std::uint64_t) {
    onMain = platform::MainQueue::isMainThread();
    seenIndex = index;
  };
  adapter->setDelegate(delegate);
  auto worker = std::async(std::launch::async, [&] {
    adapter->notifyDelegate(&LMImageSyncAdapterDelegate::willAdapterUploadImage, LMImage(), std::uint64_t{3},
                            std::uint64_t{9});
    adapter->notifyDelegate(&LMImageSyncAdapterDelegate::willAdapterBeginBackup);  // not provided
  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [&] { return worker.wait_for(0s) == std::future_status::ready; }, testsupport::scaled(10s)));
  EXPECT_EQ(onMain, true);
  EXPECT_EQ(seenIndex, 3u);

  delegate.reset();  // held weakly: gone means nothing is called
  EXPECT_FALSE(adapter->delegate());
  adapter->notifyDelegate(&LMImageSyncAdapterDelegate::willAdapterUploadImage, LMImage(), std::uint64_t{4},
                          std::uint64_t{9});
  EXPECT_EQ(seenIndex, 3u);

  EXPECT_EQ(LMImageSyncAdapter::sharedAdapter(), LMImageSyncAdapter::sharedAdapter());
  EXPECT_EQ(adapter->dispatchQueue().label(), "com.quenby.lumora.sdk.gallery.queue");
}

}  // namespace
