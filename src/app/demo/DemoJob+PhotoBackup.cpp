// The demo's photo backup: a seeded photo library (generated pictures, some
// of them in a "Family" album) backed up album by album with a progress bar.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/demo/DemoJob.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/media/Image.h"
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

// Writes the demo's photos as JPEGs into the library's folder and puts the
// first few into the "Family" album. An error text, or "" when done.
std::string seedLibrary(photos::PhotoLibrary& library) {
  for (int i = 0; i < kDemoPhotos; ++i) {
    auto picture = platform::Image::imageWithData(gradientPixels(i));
    auto jpeg = picture.ok() ? picture->JPEGRepresentation(0.8) : platform::Result<platform::Bytes>(picture.error());
    if (!jpeg.ok()) return failureText(jpeg.error());
    const auto path = photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(2000 + i) + ".JPG");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return "cannot write " + path.string();
    const bool written = std::fwrite(jpeg->data(), 1, jpeg->size(), file) == jpeg->size();
    if (std::fclose(file) != 0 || !written) return "cannot write " + path.string();
  }
  // The album holds the demo's own first pictures, whatever else the
  // library has.
  std::vector<std::string> family;
  for (const auto& asset : library.fetchAssetsWithMediaType(photos::MediaType::Image)) {
    const std::string name = asset.file.filename().string();
    for (int i = 0; i < kFamilyPhotos; ++i) {
      if (name == "IMG_" + std::to_string(2000 + i) + ".JPG") family.push_back(asset.localIdentifier);
    }
  }
  auto made = library.performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.addAssets(changes.creationRequestForAssetCollectionWithTitle(kFamilyAlbum), family);
  });
  return made.ok() ? std::string() : failureText(made.error());
}

// Hears the backup's reports (on the main thread) and draws the bar: redrawn
// in place on a terminal, a line per quarter otherwise.
class BackupReports : public LMImageSyncAdapterDelegate {
 public:
  explicit BackupReports(std::FILE* out) : out_(out), terminal_(isatty(fileno(out)) != 0) {
    didAdapterFinishBackupAlbums = [this](std::uint64_t created) { albumsCreated = created; };
    willAdapterUploadImagesCount = [this](std::uint64_t count) { toUpload = count; };
    didAdapterUploadImage = [this](const std::optional<LMImage>& image, std::uint64_t index, std::uint64_t total) {
      if (image) {
        ++uploaded;
        sentPhotos.insert(image->assetID.value_or(image->fileName.value_or("")));
      }
      show(index + 1, total, image ? image->fileName.value_or("") : std::string("(left out)"));
    };
    didAdapterFailUploadImage = [this](const std::optional<LMImage>&, const platform::Error& error,
                                       std::uint64_t index, std::uint64_t total) {
      ++failed;
      if (!firstImageFailure) firstImageFailure = error;
      show(index + 1, total, "failed: " + failureText(error));
    };
    didAdapterFinishBackupImages = [this](const std::vector<LMImage>&, std::uint64_t) { finished = true; };
    didAdapterFailBackupImages = [this](const platform::Error& error) { failure = error; };
  }

  void end() {
    if (terminal_ && quarter_ >= 0) std::fputc('\n', out_);
    std::fflush(out_);
  }

  std::uint64_t albumsCreated = 0;
  std::uint64_t toUpload = 0;
  std::uint64_t uploaded = 0;          // uploads, a photo once per album it is in
  std::set<std::string> sentPhotos;    // the distinct photos among them
  std::uint64_t failed = 0;
  std::optional<platform::Error> firstImageFailure;
  bool finished = false;
  std::optional<platform::Error> failure;

 private:
  void show(std::uint64_t done, std::uint64_t total, const std::string& what) {
    total = std::max<std::uint64_t>(total, 1);
    done = std::min(done, total);
    if (terminal_) {
      constexpr std::uint64_t kBar = 32;
      const std::uint64_t filled = kBar * done / total;
      std::fprintf(out_, "\r    uploads [%s%s] %3llu/%-3llu %-31.31s", std::string(filled, '=').c_str(),
                   std::string(kBar - filled, ' ').c_str(), static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(total), what.c_str());
      std::fflush(out_);
      quarter_ = 0;
      return;
    }
    const int quarter = static_cast<int>(4 * done / total);
    if (quarter == quarter_) return;
    quarter_ = quarter;
    std::fprintf(out_, "    upload %3llu of %llu done\n", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total));
  }

  std::FILE* out_;
  bool terminal_;
  int quarter_ = -1;
};

}  // namespace

bool DemoJob::backupPhotos() {
  step("Backing up the photo library (with the demo's " + std::to_string(kDemoPhotos) + " photos, " +
       std::to_string(kFamilyPhotos) + " of them also in the album \"" + kFamilyAlbum + "\")");
  // The user allows access to the photos.
  (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  // Seeded beside the user's own photos until the album the restore step
  // brings back is there.
  const auto albums = library->fetchTopLevelUserCollections();
  const bool seeded = std::any_of(albums.begin(), albums.end(), [](const photos::AssetCollection& album) {
    return album.localizedTitle == kFamilyAlbum;
  });
  if (!seeded) {
    if (std::string failure = seedLibrary(*library); !failure.empty()) {
      outcome(false, "cannot seed the photo library: " + failure);
      return false;
    }
  }
  auto gallery = gallery_;
  auto reports = std::make_shared<BackupReports>(out_);
  gallery->setDelegate(reports);
  const bool answered = offMainWork([gallery] { gallery->backupAllImages(); });
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
  auto photosText = [&](std::uint64_t number) { return ui::localizedCountString("Demo Photos Format", count(number)); };
  const std::string summary = ui::localizedCountString(
      "Demo Backup Format",
      {photosText(library->fetchAssetsWithMediaType(photos::MediaType::Image).size()),
       photosText(reports->sentPhotos.size()),
       ui::localizedCountString("Demo Uploads Format", {count(reports->uploaded), count(reports->toUpload)}),
       count(reports->failed), ui::localizedCountString("Demo Albums Created Format", count(reports->albumsCreated))});
  if (reports->firstImageFailure) {
    // Told by the first failure's own error: a cloud that refuses or
    // redirects the uploads is the cloud's failure, not this machine's.
    std::fprintf(out_, "      %s\n", summary.c_str());
    fail(*reports->firstImageFailure);
    return false;
  }
  outcome(true, summary);
  return true;
}

}  // namespace lumora
