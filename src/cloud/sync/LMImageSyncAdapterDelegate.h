// What the image sync adapter reports to the gallery screens. Every method is
// optional: a delegate provides one by assigning its hook (normally in its
// constructor, before it is set on the adapter), and the adapter calls only
// hooks that are set. The adapter holds its delegate weakly.
//
// Threading: every hook runs on the main thread, the adapter waiting until it
// has run, except didAdapterGetAllServerAlbums, didAdapterLoadAlbumImages and
// serverImageInSameAlbumImage, which run on the backup's own thread. Hooks
// must not throw.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "platform/Error.h"

namespace lumora {

class LMImageSyncAdapter;

class LMImageSyncAdapterDelegate {
 public:
  virtual ~LMImageSyncAdapterDelegate() = default;

  // A backup run starts (the adapter is syncing).
  std::function<void()> willAdapterBeginBackup;
  // The album stage starts.
  std::function<void()> willAdapterBeginBackupAlbums;
  // The local albums are about to be read.
  std::function<void()> willAdapterGetLocalAlbums;
  // Every page of the cloud album list has been read (backup thread).
  std::function<void(const std::vector<LMAlbum>& albums, std::optional<std::int64_t> serverSync,
                     const std::optional<std::string>& syncExtraInfo)>
      didAdapterGetAllServerAlbums;
  // A missing cloud album is about to be created.
  std::function<void(std::uint64_t index, std::uint64_t totalCount)> willAdapterCreateLumoraAlbums;
  // The album stage ends, with the number of albums taken into the backup.
  std::function<void(std::uint64_t count)> didAdapterFinishBackupAlbums;
  // The listing of each album's cloud images starts.
  std::function<void()> willAdapterLoadImages;
  // Every page of one album's cloud image list has been read (backup thread).
  std::function<void(const std::vector<LMImage>& images, std::optional<std::int64_t> albumServerID,
                     std::optional<std::int64_t> serverSync, const std::optional<std::string>& syncExtraInfo,
                     bool resync)>
      didAdapterLoadAlbumImages;
  // The upload set of one album has been worked out.
  std::function<void(std::uint64_t index, std::uint64_t totalCount)> didAdapterLoadAlbumImagesTotalCount;
  // A folder of the photo library could not be read whole (its listing
  // refused or failed) when the upload set was made: photos it holds may be
  // missing from the run. Sent for each such folder, with its error
  // (platform::photos::libraryFolderReadError), just before
  // willAdapterUploadImagesCount; the run goes on.
  std::function<void(const platform::Error& error)> didAdapterFailReadLibraryFolder;
  // The upload set of the whole run is known.
  std::function<void(std::uint64_t count)> willAdapterUploadImagesCount;
  // An asset is about to be read from the library.
  std::function<void(std::uint64_t index, std::uint64_t totalCount)> willAdapterLoadImageIndex;
  // An image is about to be backed up.
  std::function<void(const LMImage& image, std::uint64_t index, std::uint64_t totalCount)> willAdapterUploadImage;
  // The cloud image of the same album that stands for `image`, if any
  // (backup thread).
  std::function<std::optional<LMImage>(const LMImage& image)> serverImageInSameAlbumImage;
  // A piece of block data went to the network.
  std::function<void(const LMImage& image, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                     std::int64_t totalBytesExpectedToWrite)>
      didAdapterUploadImageBytesWritten;
  // An image has been backed up; no image for an asset left out (changed
  // within the last minute in the background, or gone from the library).
  std::function<void(const std::optional<LMImage>& image, std::uint64_t index, std::uint64_t totalCount)>
      didAdapterUploadImage;
  // An image failed without stopping the run (no image when the asset could
  // not be read). The error names the asset's file when the asset was found
  // (platform::photos::assetFileOf).
  std::function<void(const std::optional<LMImage>& image, const platform::Error& error, std::uint64_t index,
                     std::uint64_t totalCount)>
      didAdapterFailUploadImage;
  // The run ended normally, with the images that failed.
  std::function<void(const std::vector<LMImage>& failed, std::uint64_t totalCount)> didAdapterFinishBackupImages;
  // The run stopped on an error.
  std::function<void(const platform::Error& error)> didAdapterFailBackupImages;
  // A background run left out assets changed within the last minute.
  std::function<void(LMImageSyncAdapter& adapter)> didSyncIgnoreGalleryWithAdapter;
};

}  // namespace lumora
