// Exports local assets of the photo library for the photo sync: the
// library's data or video export of an asset goes into a temporary file of
// the app, digested on the way, and fills an LMImage record. It also keeps
// the library requests and exports under way, so that a cancelled backup
// can break them all off.
//
// Ownership: shared() is process-wide, made on first use, never destroyed.
// Threading: exportAsset blocks its caller until the library has answered
// and the digests are done (call it from a worker queue, never the main
// thread); cancelAll from any thread. Failures: the Status returned; the
// image then keeps whatever temporary file it already made (filePath). A
// failed read of the library's own file is the library's answer about the
// asset (platform/photos/AssetFile.h): gone, or unreadable by its name.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "cloud/model/LMImage.h"
#include "platform/Result.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/photos/AssetExportSession.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/ImageManager.h"

namespace lumora {

class LMAssetExporter {
 public:
  static LMAssetExporter& shared();

  // Exports the asset into the app's temporary directory (a file named
  // after the library's file) and digests it into `image`: file name (as
  // UTF-8, its other bytes read as Latin-1: platform::toValidUtf8),
  // title, MIME type, size, EXIF values, SHA-1 and block list (a video's
  // digests are taken while the export writes it). A photo whose data is
  // its library file, and a movie held as a plain file, are not copied (nor
  // held whole): the image names that file (libraryFilePath) instead. Waits for the library
  // with deadlines: a request not answered in a minute, or an export that
  // makes no progress for a minute, ends with -1.
  platform::Status exportAsset(const platform::photos::Asset& asset, LMImage& image);
  // An asset of the older interface: its default representation's file
  // name, size and EXIF values (a video's duration and location), its bytes
  // read block by block through the representation into the temporary
  // file (which the upload reads), and the digests of that file. Without a
  // representation nothing but the (empty) EXIF values is set.
  platform::Status exportRepresentation(const platform::photos::LibraryAsset& asset, LMImage& image);
  // Breaks off every pending library request and running export; their
  // exports end with -10012.
  void cancelAll();

 private:
  platform::Status exportImage(const platform::photos::Asset& asset, LMImage& image);
  // An unedited photo's own file, digested where it lies.
  platform::Status digestLibraryPhoto(const platform::photos::Asset& asset, const std::filesystem::path& file,
                                      LMImage& image);
  platform::Status exportVideo(const platform::photos::Asset& asset, LMImage& image);
  // Waits for a request's answer; on time-out the request is cancelled.
  bool waitForAnswer(platform::Semaphore& done, platform::photos::ImageRequestID request);

  std::mutex mutex_;
  std::set<platform::photos::ImageRequestID> requests_;
  std::vector<std::shared_ptr<platform::photos::AssetExportSession>> exporters_;
};

}  // namespace lumora
