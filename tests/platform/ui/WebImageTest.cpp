// Pictures by address: the network, then memory and disk, a changed
// picture apart from the picture as it came; failed addresses are not asked
// again unless retried; an image view shows only its latest load.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/http/TestServer.h"
#include "platform/http/UrlError.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/ImageViewWebCache.h"
#include "platform/ui/WebImageManager.h"
#include "support/PlantedFiles.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

// How long a load may take, in real time, before the test gives up on it.
constexpr auto kWait = testsupport::scaled(std::chrono::seconds(10));

struct WebImageTestLoad {
  bool done = false;
  std::optional<platform::ui::Image> image;
  std::optional<platform::Error> error;
  platform::ui::ImageCacheType type = platform::ui::ImageCacheType::None;
};

class WebImageTest : public ::testing::Test {
 protected:
  WebImageTest() {
    platform::MainQueue::main().bindToCurrentThread();
    manager.imageCache().clearMemory();
    manager.resetFailedURLs();
    server->Get("/pic.png", [this](const httplib::Request&, httplib::Response& res) {
      ++requests;
      res.set_content(platform::toString(testsupport::makePng(8, 6)), "image/png");
    });
    server->Get("/slow.png", [this](const httplib::Request&, httplib::Response& res) {
      server.gate().wait();
      res.set_content(platform::toString(testsupport::makePng(3, 3)), "image/png");
    });
    server->Get("/bomb.png", [this](const httplib::Request&, httplib::Response& res) {
      ++requests;
      res.set_content(platform::toString(testsupport::makePixelBombPng(60000, 60000)), "image/png");
    });
    server->Get("/large.jpg", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(platform::toString(testsupport::makeJpeg(1600, 800)), "image/jpeg");
    });
    server->Get("/broken", [this](const httplib::Request&, httplib::Response& res) {
      ++requests;
      res.set_content("not a picture", "image/png");
    });
    server.start();
  }
  ~WebImageTest() override {
    manager.imageCache().clearMemory();
    manager.resetFailedURLs();
  }

  WebImageTestLoad load(const std::string& url, platform::ui::WebImageOptions options = {}) {
    WebImageTestLoad result;
    manager.downloadImageWithURL(url, options,
                                 [&](std::optional<platform::ui::Image> image, std::optional<platform::Error> error,
                                     platform::ui::ImageCacheType type, const std::string&) {
                                   result = {true, std::move(image), std::move(error), type};
                                 });
    EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return result.done; }, kWait));
    return result;
  }

  testsupport::TestHome home;
  testhttp::TestServer server;
  std::atomic<int> requests{0};
  platform::ui::WebImageManager& manager = platform::ui::WebImageManager::sharedManager();
};

TEST_F(WebImageTest, PicturesComeFromTheNetworkThenMemoryThenDisk) {
  const std::string url = server.url("/pic.png");
  struct Step {
    std::function<void()> before;
    platform::ui::ImageCacheType type;
    int requests;
  };
  const std::vector<Step> steps = {
      {[] {}, platform::ui::ImageCacheType::None, 1},
      {[] {}, platform::ui::ImageCacheType::Memory, 1},
      {[&] { manager.imageCache().clearMemory(); }, platform::ui::ImageCacheType::Disk, 1},
      {[&] {
         manager.imageCache().clearMemory();
         manager.imageCache().clearDisk();
       },
       platform::ui::ImageCacheType::None, 2},
  };
  for (const auto& step : steps) {
    step.before();
    WebImageTestLoad got = load(url);
    ASSERT_TRUE(got.image);
    EXPECT_EQ(got.image->size().width, 8);
    EXPECT_EQ(got.type, step.type);
    EXPECT_EQ(requests, step.requests);
  }

  // An image got elsewhere becomes the one of its address.
  manager.saveImageToCache(*load(url).image, server.url("/elsewhere.png"));
  EXPECT_TRUE(manager.cachedImageExistsForURL(server.url("/elsewhere.png")));
  EXPECT_EQ(load(server.url("/elsewhere.png")).type, platform::ui::ImageCacheType::Memory);
}

// A load that turns its picture keeps the turned one under a key of its
// own: from the network, memory and disk each load gets its own picture,
// never the other's, and a load's change is made once, where it downloads.
TEST_F(WebImageTest, AChangedPictureIsKeptApartFromThePictureAsItCame) {
  const std::string url = server.url("/pic.png");
  std::atomic<int> turns{0};
  platform::ui::WebImageOptions turned;
  turned.transform = {"turned", [&turns](const platform::ui::Image& image) {
                        ++turns;
                        return platform::ui::Image::imageWithBitmap(
                            image.bitmap()->withOrientation(platform::ImageOrientation::Right).uprightImage(),
                            image.scale());
                      }};
  struct Step {
    const char* what;
    std::function<void()> before;
    platform::ui::ImageCacheType type;
  };
  const std::vector<Step> steps = {
      {"network", [] {}, platform::ui::ImageCacheType::None},
      {"memory", [] {}, platform::ui::ImageCacheType::Memory},
      {"disk", [&] { manager.imageCache().clearMemory(); }, platform::ui::ImageCacheType::Disk},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    // The turned load first: the plain one still finds nothing of its own.
    WebImageTestLoad side = load(url, turned);
    WebImageTestLoad plain = load(url);
    ASSERT_TRUE(side.image && plain.image);
    EXPECT_EQ(side.type, step.type);
    EXPECT_EQ(plain.type, step.type);
    EXPECT_EQ(side.image->pixelSize(), (platform::ui::Size{6, 8}));
    EXPECT_EQ(plain.image->pixelSize(), (platform::ui::Size{8, 6}));
  }
  EXPECT_EQ(requests, 2) << "each picture downloaded once";
  EXPECT_EQ(turns, 1);
  EXPECT_NE(platform::ui::ImageCache::cacheKeyForURL(url, "turned"), platform::ui::ImageCache::cacheKeyForURL(url));

  // A load cancelled before its picture came (a cell used for another
  // photo) still keeps the changed picture, and only under its own key.
  manager.imageCache().clearMemory();
  manager.imageCache().clearDisk();
  manager.downloadImageWithURL(url, turned, {})->cancel();
  const std::string turnedKey = platform::ui::ImageCache::cacheKeyForURL(url, "turned");
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [&] { return manager.imageCache().imageFromMemoryCache(turnedKey).has_value(); }, kWait));
  EXPECT_FALSE(manager.imageCache().imageFromMemoryCache(platform::ui::ImageCache::cacheKeyForURL(url)));
  EXPECT_EQ(load(url, turned).image->pixelSize(), (platform::ui::Size{6, 8}));
}

TEST_F(WebImageTest, FailedAddressesAreAskedAgainOnlyWhenRetried) {
  const std::string url = server.url("/broken");
  EXPECT_TRUE(load(url).error);
  EXPECT_TRUE(load(url).error);
  EXPECT_EQ(requests, 1) << "not asked again";
  EXPECT_TRUE(load(url, {.retryFailed = true}).error);
  EXPECT_EQ(requests, 2);
  EXPECT_TRUE(load(server.url("/missing")).error);
}

TEST_F(WebImageTest, APixelBombIsRefusedAndPicturesAreDecodedAtTheSizeTheyAreShown) {
  WebImageTestLoad bomb = load(server.url("/bomb.png"));
  EXPECT_FALSE(bomb.image);
  ASSERT_TRUE(bomb.error);
  EXPECT_EQ(bomb.error->code(), platform::http::kUrlErrorCannotDecodeRawData);
  EXPECT_FALSE(manager.cachedImageExistsForURL(server.url("/bomb.png")));

  // From the network, then from the disk: decoded just large enough to
  // cover 80 x 80 pixels, and as many points large as the stored picture.
  for (auto type : {platform::ui::ImageCacheType::None, platform::ui::ImageCacheType::Disk}) {
    manager.imageCache().clearMemory();
    WebImageTestLoad got = load(server.url("/large.jpg"), {.shownSize = {80, 80}});
    ASSERT_TRUE(got.image);
    EXPECT_EQ(got.type, type);
    EXPECT_EQ(got.image->pixelSize(), (platform::ui::Size{160, 80}));
    EXPECT_NEAR(got.image->size().width, 1600, 1e-6);
    EXPECT_NEAR(got.image->size().height, 800, 1e-6);
  }
}

TEST_F(WebImageTest, AViewShowsOnlyItsLatestLoad) {
  auto view = std::make_shared<platform::ui::ImageView>();
  const platform::ui::Image placeholder = platform::ui::Image::imageWithBitmap(*platform::Image::imageWithData(testsupport::makePng(4, 4)));
  platform::ui::setImageWithURL(view, server.url("/slow.png"), placeholder);
  EXPECT_EQ(view->image()->size().width, 4) << "the placeholder at once";
  bool shown = false;
  platform::ui::setImageWithURL(view, server.url("/pic.png"), placeholder, {},
                  [&](std::optional<platform::ui::Image>, std::optional<platform::Error>, platform::ui::ImageCacheType, const std::string&) {
                    shown = true;
                  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return shown; }, kWait));
  server.gate().open();
  // The late picture is kept for later but never shown here.
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [&] { return manager.cachedImageExistsForURL(server.url("/slow.png")); }, kWait));
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(view->image()->size().width, 8);
}

// Someone else's file beside a cached picture, where its bytes are written
// first: never written through nor waited on.
TEST(ImageCacheDiskTest, APictureIsWrittenOnlyIntoAFileOfTheCachesOwn) {
  testsupport::TestHome home;
  platform::ui::ImageCache cache;
  const auto userFile = home.root() / "notes.txt";
  testsupport::writeFile(userFile, platform::toBytes("the user's notes\n"));
  for (auto kind : {testsupport::Planted::HardLink, testsupport::Planted::SymbolicLink, testsupport::Planted::Pipe}) {
    SCOPED_TRACE(testsupport::plantedName(kind));
    const std::string key = "http://127.0.0.1:9/planted.png";
    const auto part = cache.cachePathForKey(key).string() + ".part";
    std::filesystem::create_directories(cache.diskCachePath());
    ASSERT_TRUE(testsupport::plant(kind, part, userFile));
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(part, [&] {
      cache.storeImage(platform::ui::Image::imageWithPicture({}, {8, 6}), testsupport::makePng(8, 6), key);
      cache.clearDisk();  // after the write
    }));
    EXPECT_EQ(testsupport::readFile(userFile), platform::toBytes("the user's notes\n"));
  }
}

// A user's picture linked, or a pipe, where a cached picture belongs: a
// miss, never read through nor waited on; a second name of the file (a hard
// link) is read as the picture.
TEST(ImageCacheDiskTest, APictureIsReadOnlyFromAFileOfTheCachesOwn) {
  testsupport::TestHome home;
  platform::ui::ImageCache cache;
  const auto userFile = home.root() / "picture.png";
  const platform::Bytes picture = testsupport::makePng(8, 6);
  testsupport::writeFile(userFile, picture);
  const std::string key = "http://127.0.0.1:9/planted.png";
  const auto file = cache.cachePathForKey(key);
  std::filesystem::create_directories(cache.diskCachePath());
  for (auto kind : {testsupport::Planted::HardLink, testsupport::Planted::SymbolicLink, testsupport::Planted::Pipe}) {
    SCOPED_TRACE(testsupport::plantedName(kind));
    cache.clearMemory();
    std::filesystem::remove(file);
    ASSERT_TRUE(testsupport::plant(kind, file, userFile));
    std::optional<platform::ui::Image> image;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(file, [&] { image = cache.imageFromDiskCache(key, {8, 6}); }));
    EXPECT_EQ(image.has_value(), kind == testsupport::Planted::HardLink);
    EXPECT_EQ(testsupport::readFile(userFile), picture);
  }
}

}  // namespace
