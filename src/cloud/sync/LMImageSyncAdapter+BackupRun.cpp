// One complete backup run: albums, upload set, then the images one by one,
// each stage reported to the delegate. While one image uploads, the next
// asset of the run is exported on a queue of the run's own (one ahead): the
// export is work done early, taken at the asset's turn only if the asset is
// still the one exported; every report, state check and stop stays where
// the run has it. A folder of the library that could not be read is told
// before the images, as the photos it hides are not among them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/device/Device.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/AssetFile.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"

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

// Whether the cloud refused the photo's own request as it stands (a
// parameter of the photo, its size above all, that it does not take), not
// the run's requests: the next photo may well go.
bool refusesThePhoto(const platform::Error& error) {
  return error.domain() == kLMServerErrorDomain && error.code() == kLMServerErrorBadRequest;
}

// Whether the photo failed on this machine (its export, its request that
// could not be made, its relation that could not be stored): the SDK's
// own errors, which the cloud never sent.
bool failedHere(const platform::Error& error) { return error.domain() == kLMLocalErrorDomain; }

// Whatever an export left behind is not uploaded.
void removeExportedFile(const std::optional<LMImage>& image) {
  if (!image || !image->filePath) return;
  std::error_code ec;
  std::filesystem::remove(*image->filePath, ec);
}

// The next asset's export, running on the run's export queue.
class ExportAhead {
 public:
  ExportAhead(platform::SerialQueue& queue, platform::photos::Asset asset) : asset_(std::move(asset)) {
    auto state = state_;
    queue.async([state, asset = asset_] {
      state->image = LMImage::initWithAsset(&asset);
      state->done.signal();
    });
  }
  // Waits for the export, then removes what it made.
  ~ExportAhead() {
    if (!taken_) removeExportedFile(wait());
  }
  ExportAhead(const ExportAhead&) = delete;
  ExportAhead& operator=(const ExportAhead&) = delete;

  // Whether the export is of this very asset (same library file, same time).
  bool isOf(const platform::photos::Asset& asset) const {
    return asset.localIdentifier == asset_.localIdentifier && asset.file == asset_.file &&
           asset.modificationDate == asset_.modificationDate;
  }
  // The export's result, once it is done; the file is then the caller's.
  std::optional<LMImage> take() {
    taken_ = true;
    return wait();
  }

 private:
  struct State {
    platform::Semaphore done;
    std::optional<LMImage> image;
  };
  std::optional<LMImage> wait() {
    state_->done.wait();
    state_->done.signal();
    return std::move(state_->image);
  }

  platform::photos::Asset asset_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  bool taken_ = false;
};

// The image loop and its counts.
class ImageLoop {
 public:
  enum class Next { Asset, Album, Stop };

  ImageLoop(LMImageSyncAdapter& adapter, std::int64_t totalCount)
      : adapter_(adapter), store_(adapter.context()), totalCount_(totalCount), startingCount_(totalCount) {}

  Next asset(std::size_t position) {
    const std::string& identifier = positions_[position].identifier;
    const LMImageSyncAdapter::UploadEntry& entry = *positions_[position].entry;
    if (!(runError_ = adapter_.checkSyncState())) return Next::Stop;
    // Gone from the library since the upload set was made: nothing was
    // uploaded, so it is counted out like a skipped one (so is one whose
    // file is found gone when it is read, below).
    std::optional<LMImage> image;
    std::optional<platform::photos::Asset> asset;
    if (platform::Device::systemVersionIsAtLeast(8.0)) {
      asset = store_->assetImageWithAssetID(identifier);
      if (!asset) return skip(false);
      if (changedJustNow(asset->modificationDate)) return skip(true);
      adapter_.notifyDelegate(&Delegate::willAdapterLoadImageIndex, index(), count());
      image = exportOf(*asset);
    } else {
      // The older interface: each asset exported at its turn.
      if (!library_) library_ = std::make_unique<platform::photos::AssetsLibrary>();
      auto older = store_->assetImageWithAssetID(identifier, *library_);
      if (!older) {
        // The library refuses to answer at all: so it would for every asset.
        runError_ = older.error();
        return Next::Stop;
      }
      if (!*older) return skip(false);
      if (changedJustNow((*older)->date)) return skip(true);
      adapter_.notifyDelegate(&Delegate::willAdapterLoadImageIndex, index(), count());
      image = LMImage::initWithAsset(&**older);
    }
    if (!image) return skip(false);  // neither photo nor video any more

    platform::Status outcome;
    if (image->error) {
      // The image goes with its failure to the delegate and the failed list.
      outcome = *image->error;
      removeExportedFile(image);
    } else {
      adapter_.notifyDelegate(&Delegate::willAdapterUploadImage, *image, index(), count());
      image->assetGroupID = entry.assetGroupID;
      image->serverGroupID = entry.serverGroupID;
      if (asset) exportNext(position, *asset);
      outcome = adapter_.backupImage(*image);
    }
    if (outcome) {
      adapter_.notifyDelegate(&Delegate::didAdapterUploadImage, image, index(), count());
      ++handledCount_;
      return Next::Asset;
    }
    const platform::Error& error = outcome.error();
    // Its file gone when it was read (moved or removed meanwhile): it is
    // no longer in the library, so nothing failed. Counted out as one gone
    // before its turn; nothing is stored, and the next run has no such asset.
    if (platform::photos::isAssetFileGoneError(error)) return skip(false);
    if (LMImageSyncAdapter::shouldStopBackupImageWithError(error)) {
      runError_ = error;
      return Next::Stop;
    }
    // The cloud's refusal of this very photo (one too large, say), and a
    // failure of this machine's with it (a request that could not be made),
    // are the photo's own, as its file's is: told with the photo's file.
    platform::Error told = error;
    if (asset && (refusesThePhoto(error) || failedHere(error))) {
      told = platform::photos::errorOfAssetFile(error, asset->file);
      LM_LOG_ERROR("{} failed: {}", platform::photos::libraryPathText(asset->file), error.description());
    }
    if (image) failedImages_.push_back(*image);
    adapter_.notifyDelegate(&Delegate::didAdapterFailUploadImage, image, told, index(), count());
    ++handledCount_;
    return endsAlbum(error) ? Next::Album : Next::Asset;
  }

  void run(const LMImageSyncAdapter::UploadSet& uploadSet) {
    for (const auto& cloudAlbum : uploadSet) {
      for (const auto& entry : cloudAlbum) {
        for (const std::string& identifier : entry.imageIDs) positions_.push_back({identifier, &entry});
      }
    }
    for (std::size_t position = 0; position < positions_.size(); ++position) {
      const Next next = asset(position);
      if (next == Next::Stop) break;
      if (next != Next::Album) continue;
      // The rest of the album's list is passed over.
      while (position + 1 < positions_.size() && positions_[position + 1].entry == positions_[position].entry) {
        ++position;
      }
    }
    ahead_.reset();
  }

  bool skipped() const { return skipped_; }
  const platform::Status& runError() const { return runError_; }
  const std::vector<LMImage>& failedImages() const { return failedImages_; }
  std::uint64_t count() const { return static_cast<std::uint64_t>(std::max<std::int64_t>(0, totalCount_)); }

 private:
  struct Position {
    std::string identifier;
    const LMImageSyncAdapter::UploadEntry* entry;
  };

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

  // The asset's export: the one made ahead if it is of this asset as it is
  // now, else made here.
  std::optional<LMImage> exportOf(const platform::photos::Asset& asset) {
    std::unique_ptr<ExportAhead> ahead = std::move(ahead_);
    if (ahead && ahead->isOf(asset)) return ahead->take();
    ahead.reset();
    return LMImage::initWithAsset(&asset);
  }

  // Starts the export of the asset after `position` while `current`
  // uploads. Both exports write a temporary file named after the library's
  // file: an asset whose file has the current one's name waits its turn.
  void exportNext(std::size_t position, const platform::photos::Asset& current) {
    if (position + 1 >= positions_.size()) return;
    auto next = store_->assetImageWithAssetID(positions_[position + 1].identifier);
    if (!next || next->file.filename() == current.file.filename()) return;
    if (!queue_) queue_ = std::make_unique<platform::SerialQueue>("com.lumora.backup.export");
    ahead_ = std::make_unique<ExportAhead>(*queue_, std::move(*next));
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
  std::vector<Position> positions_;
  std::unique_ptr<platform::SerialQueue> queue_;
  std::unique_ptr<ExportAhead> ahead_;  // after queue_: destroyed first
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
  // A folder of the library that could not be read hides photos from the
  // upload set: each is told, and the run goes on with what could be read.
  for (const platform::Error& unread : context()->unreadLibraryFolders()) {
    LM_LOG_ERROR("{}", unread.description());
    notifyDelegate(&Delegate::didAdapterFailReadLibraryFolder, unread);
  }
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
