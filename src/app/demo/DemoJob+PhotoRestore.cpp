// The demo's photo restore: one cloud album brought down into a second
// phone's library (an app home of its own beside this one) and checked file
// by file, byte for byte, against this phone's photos; then the relations
// that keep a backup of the second phone from sending them up again.
#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/demo/DemoJob.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/storage/AppHome.h"
#include "platform/Bytes.h"
#include "platform/PrintableText.h"
#include "platform/storage/PropertyList.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/Resources.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;

constexpr const char* kRestoredAlbum = "Family";

std::optional<photos::AssetCollection> albumTitled(const std::string& title) {
  for (auto& album : photos::PhotoLibrary::sharedPhotoLibrary()->fetchTopLevelUserCollections()) {
    if (album.localizedTitle == title) return album;
  }
  return std::nullopt;
}

// What the restore's work hands back; shared with the work, which may end
// after the step stopped waiting.
struct Restore {
  std::optional<platform::Error> failure;
  std::string problem;  // a check that did not hold
  LMAlbum album;
  std::vector<LMImage> images;
  std::vector<LMImage> failed;
  std::int64_t bytes = 0;  // of the files checked
  std::size_t checked = 0;
  std::size_t related = 0;
  std::atomic<std::uint64_t> moves{0};  // of the download: replies and blocks
};

// Finds the cloud album and its images.
void findCloudAlbum(LMImageSyncAdapter& gallery, Restore& restore) {
  gallery.requestAlbumListWithSync(
      std::nullopt, std::nullopt,
      [&](std::int64_t, const std::string&, const std::vector<LMAlbum>& albums, bool) {
        for (const auto& album : albums) {
          if (album.name == kRestoredAlbum && album.status == 1) restore.album = album;
        }
      },
      [&](const platform::Error& error) { restore.failure = error; });
  if (restore.failure) return;
  if (!restore.album.serverID) {
    restore.problem = fmt::format("the cloud has no album \"{}\"", kRestoredAlbum);
    return;
  }
  gallery.requestImageListInAlbumWithSync(
      std::nullopt, std::nullopt, *restore.album.serverID,
      [&](std::int64_t, const std::string&, const std::vector<LMImage>& images, bool) {
        for (const auto& image : images) {
          if (image.status == "custom") restore.images.push_back(image);
        }
      },
      [&](const platform::Error& error) { restore.failure = error; });
}

// This phone's photo files by name.
std::map<std::string, fs::path> photoFilesByName() {
  std::map<std::string, fs::path> files;
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  for (auto type : {photos::MediaType::Image, photos::MediaType::Video}) {
    for (const auto& asset : library->fetchAssetsWithMediaType(type)) files[asset.file.filename().string()] = asset.file;
  }
  return files;
}

// On the second phone: the album downloaded, each file compared with this
// phone's, and each restored asset's relations looked up as a backup would.
void restoreIntoSecondPhone(const std::shared_ptr<LMImageSyncAdapter>& gallery, Restore& restore,
                            const std::map<std::string, fs::path>& originals) {
  findCloudAlbum(*gallery, restore);
  ++restore.moves;
  if (restore.failure || !restore.problem.empty()) return;
  std::int64_t total = 0;
  for (const auto& image : restore.images) total += image.size.value_or(0);
  std::optional<platform::Error> failure;
  gallery->downloadAlbums(
      {restore.album}, {{*restore.album.serverID, restore.images}}, total,
      [&restore](std::int64_t, std::int64_t, std::int64_t) { ++restore.moves; },
      [&](const std::vector<LMImage>& failed, const std::optional<platform::Error>& error) {
        restore.failed = failed;
        failure = error;
      });
  if ((restore.failure = failure) || !restore.failed.empty()) return;

  auto album = albumTitled(kRestoredAlbum);
  if (!album) {
    restore.problem = "the second phone has no album \"" + std::string(kRestoredAlbum) + "\"";
    return;
  }
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  auto cameraRoll = gallery->context()->userLibraryAssetsGroup();
  for (const auto& asset : library->fetchAssetsInAssetCollection(*album)) {
    const std::string name = asset.file.filename().string();
    auto original = originals.find(name);
    auto restored = platform::plist::readFile(asset.file);
    if (original == originals.end()) {
      // A library that held a picture already takes it again under a name
      // of its own: told as such, not as a file that differs.
      restore.problem = platform::printableText(name) + " is no photo of this phone's";
      for (const auto& [originalName, file] : originals) {
        auto kept = platform::plist::readFile(file);
        if (restored.ok() && kept.ok() && *restored == *kept) {
          restore.problem = platform::printableText(name) + " is " + platform::printableText(originalName) +
                            " restored a second time: the second phone's library held it already";
          break;
        }
      }
      return;
    }
    auto kept = platform::plist::readFile(original->second);
    if (!restored.ok() || !kept.ok() || *restored != *kept) {
      restore.problem = platform::printableText(name) + " differs from this phone's file";
      return;
    }
    ++restore.checked;
    restore.bytes += static_cast<std::int64_t>(restored->size());
    for (const auto& group : {std::optional(*album), cameraRoll}) {
      if (!group) continue;
      auto row = gallery->context()->searchImageRelationByAssetID(asset.localIdentifier, group->localIdentifier);
      if (!row) {
        restore.problem = row.error().description();
        return;
      }
      if (*row) ++restore.related;
    }
  }
  if (restore.checked != restore.images.size()) {
    restore.problem = platform::ui::localizedCountString(
        "Demo Arrived Format",
        {static_cast<std::int64_t>(restore.checked), static_cast<std::int64_t>(restore.images.size())});
  }
}

}  // namespace

bool DemoJob::restoreAlbum() {
  // The album is the demo's, made with its pictures: a library that held
  // photos already has none to restore.
  if (!albumTitled(kRestoredAlbum)) {
    step(fmt::format("Restoring the cloud album \"{}\" into a second phone's library", kRestoredAlbum));
    outcome(true, fmt::format("nothing to restore: this phone's library has no album \"{}\" (the demo makes it "
                              "only in a library that had no photos)",
                              kRestoredAlbum));
    return true;
  }
  auto gallery = gallery_;
  // The user lets the app at each phone's photos.
  auto allowPhotos = [&] {
    auto allowed = photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
    if (!allowed.ok()) fail(allowed.error());
    return allowed.ok();
  };
  auto restore = std::make_shared<Restore>();
  // The second phone's adapter, made once its home is in place.
  std::shared_ptr<LMImageSyncAdapter> secondPhone;
  auto stopped = [&] {
    for (const auto& adapter : {gallery, secondPhone}) {
      if (!adapter) continue;
      adapter->cancelSync();
      adapter->requestLoop()->cancel();
    }
    return false;
  };

  // The second phone signs in to the same account and restores the album.
  const auto originals = photoFilesByName();
  const fs::path home = platform::AppHome::root();
  platform::AppHome::setRoot(home / "second-phone");
  // The album went up with this phone's backup, the step before.
  bool answered = allowPhotos() && signIn();
  if (answered) {
    step(fmt::format("Restoring the cloud album \"{}\" into the second phone's library", kRestoredAlbum));
    secondPhone = std::make_shared<LMImageSyncAdapter>();
    answered = offMainWork(
        [secondPhone, restore, originals] { restoreIntoSecondPhone(secondPhone, *restore, originals); },
        [restore] { return restore->moves.load(); });
    if (!answered) stopped();
  }
  platform::AppHome::setRoot(home);
  if (!answered) return false;
  if (restore->failure || !restore->failed.empty() || !restore->problem.empty()) {
    if (restore->failure) {
      fail(*restore->failure);
    } else {
      outcome(false, restore->problem.empty()
                         ? platform::ui::localizedCountString("Download Albums Fail Num Info",
                                                              static_cast<std::int64_t>(restore->failed.size()))
                         : restore->problem);
    }
    return false;
  }
  const std::string files =
      reportCount("Demo Files Format", {static_cast<std::int64_t>(restore->checked)});
  outcome(true, reportCount("Demo Restored Format", {files, restore->bytes}));
  std::fprintf(out_, "      %zu relation rows (album and camera roll): a backup there sends none of them again\n",
               restore->related);
  return true;
}

}  // namespace lumora
