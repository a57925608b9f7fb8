// The demo's photo backup: the photo library backed up album by album with a
// progress bar; a library with no photos first gets the demo's generated
// pictures, some of them in a "Family" album.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/demo/DemoJob.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/PrintableText.h"
#include "platform/Utf8.h"
#include "platform/dispatch/Clock.h"
#include "platform/media/Image.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/Resources.h"

namespace lumora {
namespace {

namespace photos = platform::photos;
namespace ui = platform::ui;

constexpr int kDemoPhotos = 16;
constexpr int kFamilyPhotos = 6;
constexpr const char* kFamilyAlbum = "Family";
constexpr int kWidth = 96;
constexpr int kHeight = 72;

// A colour gradient, different for each number, as raw RGB pixels behind a
// PPM header (libvips reads it and writes the JPEG).
platform::Bytes gradientPixels(int number) {
  const std::string header = "P6\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
  platform::Bytes pixels(header.begin(), header.end());
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      pixels.push_back(static_cast<std::uint8_t>(x * 255 / kWidth));
      pixels.push_back(static_cast<std::uint8_t>((number * 37) % 256));
      pixels.push_back(static_cast<std::uint8_t>(y * 255 / kHeight));
    }
  }
  return pixels;
}

// Writes the demo's photos as new JPEG files of the library's folder and
// puts the first few into the "Family" album. A name that is taken, by a
// file or a link, is never written over or through. An error text, or ""
// when done; after a failure none of the demo's pictures stays.
std::string seedLibrary(photos::PhotoLibrary& library) {
  std::vector<std::filesystem::path> written;
  auto takeBack = [&written](const std::string& failure) {
    std::error_code ec;
    for (const auto& path : written) std::filesystem::remove(path, ec);
    return failure;
  };
  for (int i = 0; i < kDemoPhotos; ++i) {
    auto picture = platform::Image::imageWithData(gradientPixels(i));
    auto jpeg = picture.ok() ? picture->JPEGRepresentation(0.8) : platform::Result<platform::Bytes>(picture.error());
    if (!jpeg.ok()) return takeBack(failureText(jpeg.error()));
    const auto path = photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(2000 + i) + ".JPG");
    // "x": a new file only (O_EXCL, which no link passes either).
    std::FILE* file = std::fopen(path.c_str(), "wbxe");
    if (file == nullptr) {
      return takeBack(errno == EEXIST ? platform::printablePath(path) +
                                            " is there already, and the demo writes over no file (move it away "
                                            "for the demo to add its pictures)"
                                      : "cannot write " + platform::printablePath(path) + ": " + std::strerror(errno));
    }
    written.push_back(path);
    const bool saved = std::fwrite(jpeg->data(), 1, jpeg->size(), file) == jpeg->size();
    if (std::fclose(file) != 0 || !saved) return takeBack("cannot write " + platform::printablePath(path));
  }
  // The album holds the demo's first pictures.
  std::vector<std::string> family;
  const auto familyEnd = written.begin() + kFamilyPhotos;
  for (const auto& asset : library.fetchAssetsWithMediaType(photos::MediaType::Image)) {
    if (std::find(written.begin(), familyEnd, asset.file) != familyEnd) family.push_back(asset.localIdentifier);
  }
  auto made = library.performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.addAssets(changes.creationRequestForAssetCollectionWithTitle(kFamilyAlbum), family);
  });
  return made.ok() ? std::string() : takeBack(failureText(made.error()));
}

// Hears the backup's reports and draws the bar: redrawn in place on a
// terminal, otherwise a line per quarter and at least one each
// `progressEvery` while the uploads run on, a report or none. Every report
// is a move of the work, for the step's limit on silence. The reports come
// on the main thread, but for the cloud's album lists, which come on the
// backup's.
class BackupReports : public LMImageSyncAdapterDelegate {
 public:
  BackupReports(std::FILE* out, bool terminal, std::chrono::milliseconds progressEvery)
      : out_(out), terminal_(terminal), every_(progressEvery), lastLine_(now()) {
    willAdapterBeginBackupAlbums = [this] { ++moves; };
    didAdapterGetAllServerAlbums = [this](const std::vector<LMAlbum>&, std::optional<std::int64_t>,
                                          const std::optional<std::string>&) { ++moves; };
    willAdapterCreateLumoraAlbums = [this](std::uint64_t, std::uint64_t) { ++moves; };
    didAdapterFinishBackupAlbums = [this](std::uint64_t created) {
      ++moves;
      albumsCreated = created;
    };
    didAdapterLoadAlbumImages = [this](const std::vector<LMImage>&, std::optional<std::int64_t>,
                                       std::optional<std::int64_t>, const std::optional<std::string>&,
                                       bool) { ++moves; };
    didAdapterLoadAlbumImagesTotalCount = [this](std::uint64_t, std::uint64_t) { ++moves; };
    willAdapterUploadImagesCount = [this](std::uint64_t count) {
      ++moves;
      toUpload = count;
    };
    willAdapterLoadImageIndex = [this](std::uint64_t, std::uint64_t) { ++moves; };
    willAdapterUploadImage = [this](const LMImage&, std::uint64_t, std::uint64_t) { ++moves; };
    didAdapterUploadImageBytesWritten = [this](const LMImage&, std::int64_t, std::int64_t, std::int64_t) {
      ++moves;
    };
    didAdapterUploadImage = [this](const std::optional<LMImage>& image, std::uint64_t index, std::uint64_t total) {
      ++moves;
      // The demo's backup runs in the foreground: an asset reported without
      // an image is one gone from the library before or as it was read.
      if (image) {
        ++uploaded;
        sentPhotos.insert(image->assetID.value_or(image->fileName.value_or("")));
      } else {
        ++gone;
      }
      show(index + 1, total,
           image ? platform::printableText(image->fileName.value_or("")) : std::string("(gone from the library)"));
    };
    // Each photo or folder that fails is named with its reason, on a line of
    // its own.
    didAdapterFailReadLibraryFolder = [this](const platform::Error& error) {
      ++moves;
      ++unreadFolders;
      tell(error);
    };
    didAdapterFailUploadImage = [this](const std::optional<LMImage>&, const platform::Error& error,
                                       std::uint64_t index, std::uint64_t total) {
      ++moves;
      ++failed;
      show(index + 1, total, tell(error));
    };
    didAdapterFinishBackupImages = [this](const std::vector<LMImage>&, std::uint64_t) { finished = true; };
    didAdapterFailBackupImages = [this](const platform::Error& error) { failure = error; };
  }

  // Tells how far the uploads are when nothing was told for `progressEvery`
  // (a photo that takes long to read or send says nothing meanwhile); on a
  // terminal the bar stands as drawn. Called on the main thread while the
  // backup runs.
  void keepTelling() {
    if (terminal_ || now() - lastLine_ < every_) return;
    if (quarter_ >= 0) {
      line(shown_, total_);
    } else if (toUpload > 0) {
      line(0, toUpload);
    }
  }

  void end() {
    if (terminal_ && quarter_ >= 0) std::fputc('\n', out_);
    std::fflush(out_);
  }

  std::atomic<std::uint64_t> moves{0};
  std::uint64_t albumsCreated = 0;
  std::uint64_t toUpload = 0;
  std::uint64_t uploaded = 0;          // uploads, a photo once per album it is in
  std::set<std::string> sentPhotos;    // the distinct photos among them
  std::uint64_t failed = 0;
  std::uint64_t unreadFolders = 0;     // of the library, which may hide photos
  std::uint64_t gone = 0;              // left out: no longer in the library
  std::optional<platform::Error> firstFailure;  // of a photo or a folder
  std::string firstFailureText;
  bool finished = false;
  std::optional<platform::Error> failure;

 private:
  static platform::Clock::SteadyTimePoint now() { return platform::Clock::current()->steadyNow(); }

  // Prints the failure on a line of its own; what was printed.
  std::string tell(const platform::Error& error) {
    const std::string text = photoFailureText(error);
    if (!firstFailure) {
      firstFailure = error;
      firstFailureText = text;
    }
    const std::string told = "failed: " + text;
    if (terminal_ && quarter_ >= 0) std::fputc('\n', out_);
    std::fprintf(out_, "      %s\n", told.c_str());
    std::fflush(out_);
    return told;
  }

  void show(std::uint64_t done, std::uint64_t total, const std::string& what) {
    total = std::max<std::uint64_t>(total, 1);
    done = std::min(done, total);
    if (terminal_) {
      constexpr std::uint64_t kBar = 32;
      constexpr std::size_t kWhat = 31;  // bytes, cut between characters
      const std::uint64_t filled = kBar * done / total;
      std::string shown = what.substr(0, platform::utf8CharacterBoundary(what, kWhat));
      shown.resize(kWhat, ' ');
      std::fprintf(out_, "\r    uploads [%s%s] %3llu/%-3llu %s", std::string(filled, '=').c_str(),
                   std::string(kBar - filled, ' ').c_str(), static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(total), shown.c_str());
      std::fflush(out_);
      quarter_ = 0;
      return;
    }
    const int quarter = static_cast<int>(4 * done / total);
    if (quarter == quarter_ && now() - lastLine_ < every_) {
      shown_ = done;
      total_ = total;
      return;
    }
    quarter_ = quarter;
    line(done, total);
  }

  void line(std::uint64_t done, std::uint64_t total) {
    shown_ = done;
    total_ = total;
    lastLine_ = now();
    std::fprintf(out_, "    upload %3llu of %llu done\n", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total));
    std::fflush(out_);
  }

  std::FILE* out_;
  bool terminal_;
  const std::chrono::milliseconds every_;
  platform::Clock::SteadyTimePoint lastLine_;
  int quarter_ = -1;
  std::uint64_t shown_ = 0;  // the last count told, or held back
  std::uint64_t total_ = 1;
};

}  // namespace

bool DemoJob::backupPhotos() {
  step("Backing up the photo library");
  // The user allows access to the photos.
  (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  // The demo's pictures go only into a library with no photos or videos; one
  // that holds any (the user's, or the demo's own from an earlier run) is
  // backed up as it is.
  if (library->fetchAssetsWithMediaType(photos::MediaType::Image).empty() &&
      library->fetchAssetsWithMediaType(photos::MediaType::Video).empty()) {
    if (std::string failure = seedLibrary(*library); !failure.empty()) {
      outcome(false, "cannot add the demo's pictures to the photo library: " + failure);
      return false;
    }
    std::fprintf(out_, "      the library had no photos: the demo added its %d pictures, %d of them in \"%s\"\n",
                 kDemoPhotos, kFamilyPhotos, kFamilyAlbum);
  } else {
    std::fprintf(out_, "      the library holds photos already: the demo adds none of its own\n");
  }
  auto gallery = gallery_;
  auto reports = std::make_shared<BackupReports>(out_, terminal_, options_.progressEvery);
  gallery->setDelegate(reports);
  const bool answered = offMainWork([gallery] { gallery->backupAllImages(); },
                                    [reports] { return reports->moves.load(); }, [reports] { reports->keepTelling(); });
  if (!answered) gallery->cancelSync();
  reports->end();
  gallery->setDelegate(nullptr);
  if (!answered) return false;
  if (reports->failure || !reports->finished) {
    if (reports->failure) {
      fail(*reports->failure);
    } else {
      fail(kDemoExitLocalFailure, "the backup did not end");
    }
    return false;
  }
  auto count = [](std::uint64_t number) { return static_cast<std::int64_t>(number); };
  auto photosText = [&](std::uint64_t number) { return reportCount("Demo Photos Format", {count(number)}); };
  // Photos and videos alike, as the uploads count them.
  const std::size_t inLibrary = library->fetchAssetsWithMediaType(photos::MediaType::Image).size() +
                                library->fetchAssetsWithMediaType(photos::MediaType::Video).size();
  std::string summary = reportCount(
      "Demo Backup Format",
      {photosText(inLibrary), photosText(reports->sentPhotos.size()),
       reportCount("Demo Uploads Format", {count(reports->uploaded), count(reports->toUpload)}),
       count(reports->failed), count(reports->gone),
       reportCount("Demo Albums Created Format", {count(reports->albumsCreated)})});
  if (reports->unreadFolders > 0) {
    summary += "; " + reportCount("Library Folders Unread Format", {count(reports->unreadFolders)});
  }
  if (reports->firstFailure) {
    // Told by the first failure's own error: a cloud that refuses or
    // redirects the uploads is the cloud's failure, not this machine's.
    // The others were named as they failed.
    std::fprintf(out_, "      %s\n", summary.c_str());
    const bool first = !failure_;
    const platform::Error& error = *reports->firstFailure;
    fail(error);
    if (!first) return false;
    failure_->text = reports->firstFailureText;
    const std::uint64_t more = reports->failed + reports->unreadFolders - 1;
    const auto photo = platform::photos::assetFileOf(error);
    if (more > 0) {
      failure_->text += " (" + platform::ui::localizedCountString("Photo More Failed Format", count(more)) + ")";
      if (platform::photos::assetFileFailureOf(error)) {
        failure_->advice =
            reports->unreadFolders > 0
                ? "Check the folders and photos named above (that each may be read, and each photo opens as a "
                  "picture); the next backup tries them again."
                : "Check the photos named above (that each opens as a picture, and may be read); the next backup "
                  "tries them again.";
      }
    } else if (photo && failure_->kind == kDemoExitCloudFailure) {
      failure_->advice = "The cloud refused the photo " + platform::printablePath(*photo) +
                         ": its answer is above; the other photos went on, and the next backup tries it again.";
    } else if (photo && !platform::photos::assetFileFailureOf(error)) {
      // Failed on this machine (a request that could not be made).
      failure_->advice = "The photo " + platform::printablePath(*photo) +
                         " failed on this machine, for the reason above; the other photos went on, and the next "
                         "backup tries it again.";
    }
    return false;
  }
  outcome(true, summary);
  return true;
}

}  // namespace lumora
