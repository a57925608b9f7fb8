#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <thread>

#include "cloud/model/LMBlockDigests.h"
#include "cloud/model/LMImage.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"

namespace {

using namespace lumora;
using platform::Bytes;
using platform::Json;
namespace fs = std::filesystem;
namespace photos = platform::photos;

class LMImageAssetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  }
  void TearDown() override {
    photos::ImageManager::defaultManager().setPhotoDataRendered(false);
    photos::ImageManager::defaultManager().setRequestsHeld(false);
    photos::ImageManager::defaultManager().setExportSourceKind(photos::AssetSourceKind::Composition);
  }

  photos::Asset add(const std::string& name, const Bytes& data) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / name, data);
    auto assets = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(
        photos::PhotoLibrary::mediaTypeOfFile(name));
    for (const auto& asset : assets) {
      if (asset.file.filename() == name) return asset;
    }
    ADD_FAILURE() << name << " is not an asset";
    return {};
  }

  // The block list sha1sum and md5sum give for `file`, block by block.
  Json blocksByTools(const fs::path& file) {
    const Bytes data = testsupport::readFile(file);
    Json blocks = Json::array();
    for (std::size_t offset = 0; offset < data.size(); offset += kLMBlockSize) {
      const fs::path block = home.root() / "block";
      const Bytes piece(data.begin() + offset, data.begin() + std::min<std::size_t>(data.size(), offset + kLMBlockSize));
      testsupport::writeFile(block, piece);
      blocks.push_back({{"sha1", testsupport::digestWithTool("sha1sum", block)},
                        {"md5", testsupport::digestWithTool("md5sum", block)},
                        {"size", piece.size()}});
    }
    return blocks;
  }

  testsupport::TestHome home;
};

TEST_F(LMImageAssetTest, DigestsAgreeWithTheSystemToolsAtBlockEdges) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t(kLMBlockSize), std::size_t(kLMBlockSize) + 1,
                           std::size_t(2 * kLMBlockSize) + 5}) {
    SCOPED_TRACE(size);
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    const fs::path file = home.root() / "data.bin";
    testsupport::writeFile(file, data);

    const Json expected = blocksByTools(file);
    EXPECT_EQ(expected.size(), (size + kLMBlockSize - 1) / kLMBlockSize);
    auto fromFile = digestBlocksOfFile(file, static_cast<std::int64_t>(size));
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->blockInfos, expected);
    EXPECT_EQ(fromFile->sha1, testsupport::digestWithTool("sha1sum", file));
    const LMBlockDigests fromData = digestBlocksOfData(data);
    EXPECT_EQ(fromData.blockInfos, expected);
    EXPECT_EQ(fromData.sha1, fromFile->sha1);
  }
  // A file shorter than it was measured, or missing, is an error.
  auto shorter = digestBlocksOfFile(home.root() / "data.bin", 3 * kLMBlockSize);
  ASSERT_FALSE(shorter);
  EXPECT_EQ(shorter.error().domain(), platform::kPOSIXErrorDomain);
  EXPECT_FALSE(digestBlocksOfFile(home.root() / "missing.bin", 1));
}

TEST_F(LMImageAssetTest, AFileStillBeingWrittenIsDigestedAsItGrows) {
  Bytes data(2 * kLMBlockSize + 7);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  const std::size_t cuts[] = {0, 3 << 20, 6 << 20, data.size()};
  const fs::path file = home.root() / "growing.bin";
  platform::Semaphore askForMore, pieceWritten;
  int written = 0;  // pieces; touched by the writer only between the two semaphores
  std::thread writer([&] {
    std::ofstream out;
    for (int piece = 0; piece < 3; ++piece) {
      askForMore.wait();
      if (piece == 0) out.open(file, std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data() + cuts[piece]),
                static_cast<std::streamsize>(cuts[piece + 1] - cuts[piece]));
      out.flush();
      ++written;
      pieceWritten.signal();
    }
  });
  bool lastLook = false;
  int waits = 0;
  auto digests = digestBlocksOfGrowingFile(file, [&] {
    if (written == 3) return !std::exchange(lastLook, true);
    ++waits;
    askForMore.signal();
    pieceWritten.wait();
    return true;
  });
  writer.join();
  ASSERT_TRUE(digests);
  EXPECT_EQ(waits, 3);  // before the file existed, and twice at its end
  EXPECT_EQ(digests->size, static_cast<std::int64_t>(data.size()));
  const LMBlockDigests whole = digestBlocksOfData(data);
  EXPECT_EQ(digests->blockInfos, whole.blockInfos);
  EXPECT_EQ(digests->sha1, whole.sha1);
}

TEST_F(LMImageAssetTest, PhotoIsExportedWithItsNameDigestsAndExif) {
  const Bytes jpeg = testsupport::makeJpeg(
      60, 40, {.orientation = 6, .dateTaken = "2022:01:02 03:04:05", .latitude = 10.5, .longitude = 20.25});
  const photos::Asset asset = add("IMG_7.JPG", jpeg);
  EXPECT_FALSE(LMImage::initWithAsset(static_cast<const platform::photos::Asset*>(nullptr)));

  // The photo's own file is read where it lies; a rendering (an edited
  // photo's data) goes to a temporary file, twice: the second replaces the
  // first's.
  for (bool rendered : {false, true, true}) {
    photos::ImageManager::defaultManager().setPhotoDataRendered(rendered);
    auto image = LMImage::initWithAsset(&asset);
    photos::ImageManager::defaultManager().setPhotoDataRendered(false);
    ASSERT_TRUE(image);
    ASSERT_FALSE(image->error) << image->error->description();
    EXPECT_EQ(image->type, kLMAssetTypeImage);
    EXPECT_EQ(image->assetID, asset.localIdentifier);
    EXPECT_EQ(image->fileName, "IMG_7.JPG");
    EXPECT_EQ(image->title, "IMG_7");
    EXPECT_EQ(image->mimeType, "image/JPG");
    EXPECT_EQ(image->isUbiImage, false);
    EXPECT_EQ(image->modifyDate, image->creationDate);
    EXPECT_EQ(image->creationDate, asset.creationDate);
    ASSERT_NE(image->filePath.has_value(), image->libraryFilePath.has_value());
    const std::string file = image->filePath.value_or(image->libraryFilePath.value_or(""));
    if (rendered) {
      EXPECT_EQ(fs::path(file).parent_path(), lumora::LMUtils::imageTransferDirectory());
      EXPECT_NE(testsupport::readFile(file), jpeg);
    } else {
      EXPECT_EQ(file, asset.file.string());
      EXPECT_EQ(image->size, static_cast<std::int64_t>(jpeg.size()));
      EXPECT_EQ(image->exifInfo["orientation"], 6);
      EXPECT_EQ(image->exifInfo["dateTime"], "2022:01:02 03:04:05");
      EXPECT_EQ(image->exifInfo["GPSLatitude"], "10/1,30/1,0.000/1");
      EXPECT_EQ(image->exifInfo["imageWidth"], 40);
    }
    EXPECT_EQ(image->size, static_cast<std::int64_t>(fs::file_size(file)));
    EXPECT_EQ(image->sha1, testsupport::digestWithTool("sha1sum", file));
    EXPECT_EQ(image->blockInfos, blocksByTools(file));
  }
  EXPECT_EQ(testsupport::readFile(asset.file), jpeg);
}

// Someone else's file beside the rendering's temporary file, where it is
// written first: never written through nor waited on. A symbolic link or a
// pipe there fails that export, and the next one goes through; at a second
// name of the user's file the rendering goes into a file of its own.
TEST_F(LMImageAssetTest, ARenderingIsWrittenOnlyIntoAFileOfItsOwn) {
  const photos::Asset asset = add("IMG_8.JPG", testsupport::makeJpeg(60, 40, {}));
  const fs::path userFile = home.root() / "notes.txt";
  testsupport::writeFile(userFile, platform::toBytes("the user's notes\n"));
  const fs::path partial = lumora::LMUtils::imageTransferDirectory() / "IMG_8.JPG.partial";
  fs::create_directories(partial.parent_path());
  photos::ImageManager::defaultManager().setPhotoDataRendered(true);
  for (auto kind : {testsupport::Planted::HardLink, testsupport::Planted::SymbolicLink, testsupport::Planted::Pipe}) {
    SCOPED_TRACE(testsupport::plantedName(kind));
    ASSERT_TRUE(testsupport::plant(kind, partial, userFile));
    std::optional<LMImage> image;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(partial, [&] { image = LMImage::initWithAsset(&asset); }));
    ASSERT_TRUE(image);
    EXPECT_EQ(static_cast<bool>(image->error), kind != testsupport::Planted::HardLink);
    EXPECT_EQ(testsupport::readFile(userFile), platform::toBytes("the user's notes\n"));
    auto again = LMImage::initWithAsset(&asset);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->error);
  }
}

// Resident memory now and at its peak since the peak was last reset, in KiB.
std::int64_t residentKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::strlen(field)));
  }
  return -1;
}

TEST_F(LMImageAssetTest, AnUneditedPhotoIsDigestedWithoutBeingHeldWhole) {
  constexpr std::size_t kPhotoBytes = 48u << 20;
  Bytes photo = testsupport::makeJpeg(60, 40, {});
  photo.resize(kPhotoBytes, 0x5a);  // a picture followed by what its decoders skip
  const photos::Asset asset = add("IMG_BIG.JPG", photo);
  photo = Bytes();
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";  // the peak starts again from now
    if (!reset.flush()) GTEST_SKIP() << "the resident peak cannot be reset here";
  }
  const std::int64_t before = residentKiB("VmRSS:");
  auto image = LMImage::initWithAsset(&asset);
  const std::int64_t grown = residentKiB("VmHWM:") - before;
  ASSERT_TRUE(image);
  ASSERT_FALSE(image->error) << image->error->description();
  EXPECT_EQ(image->libraryFilePath, asset.file.string());
  EXPECT_EQ(image->sha1, testsupport::digestWithTool("sha1sum", asset.file));
  EXPECT_EQ(image->blockInfos.size(), kPhotoBytes / kLMBlockSize);
  // A few blocks at a time, never the photo. (ThreadSanitizer's allocator
  // keeps freed blocks a while, so the peak there says nothing of ours.)
  if (!testsupport::kUnderThreadSanitizer) {
    EXPECT_LT(grown, static_cast<std::int64_t>(kPhotoBytes / 2 / 1024));
  }
}

TEST_F(LMImageAssetTest, VideoIsExportedOrCopiedAndDigestedFromTheFile) {
  const Bytes movie = testsupport::makeMovie(320, 240, 4, 5 * 1024 * 1024);
  const photos::Asset asset = add("clip.mov", movie);
  for (auto kind : {photos::AssetSourceKind::Composition, photos::AssetSourceKind::Composition,
                    photos::AssetSourceKind::URLAsset}) {
    photos::ImageManager::defaultManager().setExportSourceKind(kind);
    auto image = LMImage::initWithAsset(&asset);
    ASSERT_TRUE(image);
    ASSERT_FALSE(image->error) << image->error->description();
    EXPECT_EQ(image->type, kLMAssetTypeVideo);
    EXPECT_EQ(image->fileName, "clip.mov");
    EXPECT_EQ(image->mimeType, "video/mov");
    EXPECT_EQ(image->duration, 4);
    EXPECT_EQ(image->size, static_cast<std::int64_t>(movie.size()));
    // A movie held as a plain file is read where it lies.
    const bool inPlace = kind == photos::AssetSourceKind::URLAsset;
    ASSERT_EQ(image->libraryFilePath.has_value(), inPlace);
    const std::string file = inPlace ? *image->libraryFilePath : image->filePath.value_or("");
    EXPECT_EQ(inPlace, file == asset.file.string());
    EXPECT_EQ(testsupport::readFile(file), movie);
    EXPECT_EQ(image->sha1, testsupport::digestWithTool("sha1sum", file));
    EXPECT_EQ(image->blockInfos.size(), 2u);
    EXPECT_EQ(image->exifInfo, (Json{{"imageWidth", 320}, {"imageLength", 240}}));
  }
}

TEST_F(LMImageAssetTest, CancelledOrUnansweredRequestsEndTheConstruction) {
  const photos::Asset asset = add("p.jpg", testsupport::makeJpeg(8, 8));
  auto& manager = photos::ImageManager::defaultManager();
  manager.setRequestsHeld(true);
  auto pending = std::async(std::launch::async, [&] { return LMImage::initWithAsset(&asset); });
  while (manager.pendingRequestCount() == 0) std::this_thread::yield();
  LMImage::cancelAllAssetsRequest();
  auto cancelled = pending.get();
  ASSERT_TRUE(cancelled && cancelled->error);
  EXPECT_EQ(cancelled->error->code(), kLMLocalErrorCancelled);
  EXPECT_EQ(cancelled->error->userInfo()["reason"], "Request image process is cancelled.");
  EXPECT_FALSE(cancelled->filePath);

  // A library that never answers: the construction gives up after a minute.
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  auto waiting = std::async(std::launch::async, [&] { return LMImage::initWithAsset(&asset); });
  while (manager.pendingRequestCount() == 0) std::this_thread::yield();
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(std::chrono::seconds(10))));
  clock->advance(platform::seconds(61));
  auto abandoned = waiting.get();
  ASSERT_TRUE(abandoned && abandoned->error);
  EXPECT_EQ(abandoned->error->code(), kLMLocalErrorGeneral);
  manager.setRequestsHeld(false);
}

}  // namespace
