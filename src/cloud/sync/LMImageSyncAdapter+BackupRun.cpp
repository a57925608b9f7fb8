// One complete backup run: albums, upload set, then the images one by one,
// each stage reported to the delegate.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/device/Device.h"
#include "platform/dispatch/Clock.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

using Delegate = LMImageSyncAdapterDelegate;

// An asset changed this recently is left out of a background run: it may
// still be being written.
constexpr double kRecentChangeSeconds = 60.0;

// Server codes that end the current album's list.
bool endsAlbum(const platform::Error& error) {
  return error.domain() == kLMServerErrorDomain && (error.code() == 50023 || error.code() == 50012);
}

// The image loop and its counts.
class ImageLoop {
 public:
  enum class Next { Asset, Album, Stop };

  ImageLoop(LMImageSyncAdapter& adapter, std::int64_t totalCount)
      : adapter_(adapter), store_(adapter.context()), totalCount_(totalCount), startingCount_(totalCount) {}

  Next asset(const std::string& identifier, const LMImageSyncAdapter::UploadEntry& entry) {
    if (!(runError_ = adapter_.checkSyncState())) return Next::Stop;
    // Gone from the library since the upload set was made: nothing was
    // uploaded, so it is counted out like a skipped one.
    std::optional<LMImage> image;
    if (platform::Device::systemVersionIsAtLeast(8.0)) {
      auto asset = store_->assetImageWithAssetID(identifier);
      if (!asset) return skip(false);
      if (changedJustNow(asset->modificationDate)) return skip(true);
      adapter_.notifyDelegate(&Delegate::willAdapterLoadImageIndex, index(), count());
      image = LMImage::initWithAsset(&*asset);
    } else {
      if (!library_) library_ = std::make_unique<platform::photos::AssetsLibrary>();
      auto asset = store_->assetImageWithAssetID(identifier, *library_);
      if (!asset) {
        // The library refuses to answer at all: so it would for every asset.
        runError_ = asset.error();
        return Next::Stop;
      }
      if (!*asset) return skip(false);
      if (changedJustNow((*asset)->date)) return skip(true);
      adapter_.notifyDelegate(&Delegate::willAdapterLoadImageIndex, index(), count());
      image = LMImage::initWithAsset(&**asset);
    }
    if (!image) return skip(false);  // neither photo nor video any more

    platform::Status outcome;
    if (image->error) {
      // The image goes with its failure to the delegate and the failed list.
      outcome = *image->error;
      // Whatever the export left behind is not uploaded.
      if (image->filePath) {
        std::error_code ec;
        std::filesystem::remove(*image->filePath, ec);
      }
    } else {
      adapter_.notifyDelegate(&Delegate::willAdapterUploadImage, *image, index(), count());
      image->assetGroupID = entry.assetGroupID;
      image->serverGroupID = entry.serverGroupID;
      outcome = adapter_.backupImage(*image);
    }
    if (outcome) {
      adapter_.notifyDelegate(&Delegate::didAdapterUploadImage, image, index(), count());
      ++handledCount_;
      return Next::Asset;
    }
    const platform::Error& error = outcome.error();
    if (LMImageSyncAdapter::shouldStopBackupImageWithError(error)) {
      runError_ = error;
      return Next::Stop;
    }
    if (image) failedImages_.push_back(*image);
    adapter_.notifyDelegate(&Delegate::didAdapterFailUploadImage, image, error, index(), count());
    ++handledCount_;
    return endsAlbum(error) ? Next::Album : Next::Asset;
  }

  void run(const LMImageSyncAdapter::UploadSet& uploadSet) {
    for (const auto& cloudAlbum : uploadSet) {
      for (const auto& entry : cloudAlbum) {
        for (const std::string& identifier : entry.imageIDs) {
          const Next next = asset(identifier, entry);
          if (next == Next::Stop) return;
          if (next == Next::Album) break;
        }
      }
    }
  }

  bool skipped() const { return skipped_; }
  const platform::Status& runError() const { return runError_; }
  const std::vector<LMImage>& failedImages() const { return failedImages_; }
  std::uint64_t count() const { return static_cast<std::uint64_t>(std::max<std::int64_t>(0, totalCount_)); }

 private:
  // Assets handled before this one, less those left out so far. A skipped
  // asset reports the index of the one handled before it, which for the
  // first asset would be -1: it reports 0.
  std::uint64_t index() const {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, totalCount_ - startingCount_ + handledCount_));
  }

  // In a background run, an asset changed this recently is left out.
  bool changedJustNow(platform::Clock::TimePoint changed) const {
    if (!adapter_.backgroundTaskIsRunning()) return false;
    const double distance =
        std::fabs(std::chrono::duration<double>(platform::Clock::currentTime() - changed).count());
    return distance <= kRecentChangeSeconds;
  }

  Next skip(bool recentlyChanged) {
    --totalCount_;
    if (recentlyChanged) skipped_ = true;
    adapter_.notifyDelegate(&Delegate::didAdapterUploadImage, std::optional<LMImage>(), index(), count());
    ++handledCount_;
    return Next::Asset;
  }

  LMImageSyncAdapter& adapter_;
  std::shared_ptr<LMManagedAssetContext> store_;
  std::int64_t totalCount_;
  const std::int64_t startingCount_;
  std::int64_t handledCount_ = 0;
  bool skipped_ = false;
  platform::Status runError_;
  std::vector<LMImage> failedImages_;
  std::unique_ptr<platform::photos::AssetsLibrary> library_;  // below system version 8.0
};

}  // namespace

void LMImageSyncAdapter::backupAllImages() {
  setSyncing(true);
  notifyDelegate(&Delegate::willAdapterBeginBackup);
  auto failed = [this](const platform::Error& error) {
    setSyncing(false);
    notifyDelegate(&Delegate::didAdapterFailBackupImages, error);
  };

  auto albums = backupAlbums();
  if (!albums.ok()) return failed(albums.error());
  if (auto state = checkSyncState(); !state) return failed(state.error());

  auto loaded = loadUploadImagesWithAlbums(*albums);
  if (!loaded.ok()) return failed(loaded.error());
  const std::int64_t totalCount = loaded->totalCount;
  notifyDelegate(&Delegate::willAdapterUploadImagesCount, static_cast<std::uint64_t>(totalCount));
  if (auto state = checkSyncState(); !state) return failed(state.error());

  ImageLoop loop(*this, totalCount);
  loop.run(loaded->uploadSet);
  if (loop.skipped()) notifyDelegate(&Delegate::didSyncIgnoreGalleryWithAdapter, *this);
  if (!loop.runError()) return failed(loop.runError().error());
  setSyncing(false);
  notifyDelegate(&Delegate::didAdapterFinishBackupImages, loop.failedImages(), loop.count());
}

}  // namespace lumora
