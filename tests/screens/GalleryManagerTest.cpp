// The gallery cache: its store stack (opened once, older files migrated,
// unreadable ones moved aside), the album and image merge rules, the
// album-list tokens (kept only for saved changes, also under low space),
// writes applied in call order, thumbnail addresses asked ten at a time,
// album deletion that reports what the cloud kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "cloud/sync/FakeGallery.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/ImageCache.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/DamagedFile.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

using platform::Json;
using platform::MainQueue;

LMAlbum galleryTestAlbum(std::int64_t id, std::int64_t status, std::int64_t tag, const std::string& name) {
  LMAlbum album;
  album.serverID = id;
  album.status = status;
  album.sync = tag;
  album.name = name;
  album.thumbnailUrls = {"http://127.0.0.1/cover-" + std::to_string(id)};
  return album;
}

LMImage galleryTestImage(std::int64_t id, std::int64_t minute, const std::string& status = "custom") {
  LMImage image;
  image.serverID = id;
  image.status = status;
  image.sync = 1;
  image.sha1 = "sha-" + std::to_string(id);
  image.size = 100 + id;
  image.fileName = "IMG_" + std::to_string(id) + ".JPG";
  image.creationDate = platform::Clock::TimePoint(std::chrono::minutes(minute));
  return image;
}

class GalleryManagerTest : public ::testing::Test {
 protected:
  GalleryManagerTest() {
    clock->setAutoAdvanceSleeps(true);
    MainQueue::main().bindToCurrentThread();
    LMGalleryStoreStack::setShared(nullptr);
    LMCustomUtils::setFreeSpaceReaderForTesting([this](const std::filesystem::path&) { return freeSpace; });
    manager.setAdapter(adapter);
  }
  ~GalleryManagerTest() override {
    manager.setAdapter(nullptr);
    LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    LMGalleryStoreStack::setShared(nullptr);
  }

  // Waits for the main-queue tail of everything written so far.
  void settle() {
    bool done = false;
    manager.saveAlbum(-1, platform::Clock::TimePoint());
    manager.deleteImageByImageID(-1, [&](const std::optional<platform::Error>&) { done = true; });
    ASSERT_TRUE(MainQueue::main().runUntil([&] { return done; }, testsupport::scaled(std::chrono::seconds(10))));
  }
  // Runs `work` on a worker (the listings block and wait for the main
  // queue) while the test pumps.
  void offMain(const std::function<void()>& work) {
    bool done = false;
    std::thread worker([&] {
      work();
      MainQueue::main().async([&] { done = true; });
    });
    const bool finished = MainQueue::main().runUntil([&] { return done; },
                                                     testsupport::scaled(std::chrono::seconds(20)));
    worker.join();
    ASSERT_TRUE(finished);
  }
  std::vector<std::string> albumNames() {
    std::vector<std::string> names;
    auto context = manager.managedObjectContext();
    for (const auto& album : manager.getAllAlbums(context).value_or(std::vector<std::shared_ptr<LMAlbumObject>>())) {
      names.push_back(std::to_string(*album->serverID()) + ":" + album->name().value_or("") + ":" +
                      std::to_string(album->albumType().value_or(0)));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testsupport::TestHome home;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::optional<std::int64_t> freeSpace = std::int64_t{1} << 40;
  std::shared_ptr<fakegallery::FakeGallery> gallery = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter = std::make_shared<fakegallery::Adapter>(gallery);
  LMGalleryManager& manager = LMGalleryManager::sharedManager();
};

TEST_F(GalleryManagerTest, TheStoreOpensOnceMigratesAndMovesAnUnreadableFileAside) {
  const auto store = LMGalleryStoreStack::storeURL();
  std::filesystem::create_directories(store.parent_path());
  {
    // A file of an older model: albums with fewer attributes, no images.
    using namespace platform::objectstore;
    auto old = std::make_shared<const ObjectModel>(std::vector<EntityDescription>{
        EntityDescription{LMAlbumObject::kEntityName, {{"serverID", AttributeType::Integer}}, {}, {}}});
    auto coordinator = PersistentStoreCoordinator::open(old, store);
    ASSERT_TRUE(coordinator);
    auto context = ManagedObjectContext::make(ConcurrencyType::MainQueue);
    context->setPersistentStoreCoordinator(*coordinator);
    context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName)->setInteger("serverID", 42);
    ASSERT_TRUE(context->save());
  }
  auto stack = LMGalleryStoreStack::shared();
  EXPECT_EQ(stack->managedObjectContext(), stack->managedObjectContext());
  EXPECT_EQ(stack->persistentStoreCoordinator(), stack->persistentStoreCoordinator());
  EXPECT_EQ(albumNames(), std::vector<std::string>{"42::0"});

  LMGalleryStoreStack::setShared(nullptr);
  std::ofstream(store, std::ios::trunc) << std::string(8192, '\x7f');
  EXPECT_TRUE(albumNames().empty()) << "a new, empty store";
  int movedAside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(store.parent_path())) {
    movedAside += entry.path().filename().string().rfind("database.sqlite.unreadable-", 0) == 0;
  }
  EXPECT_GE(movedAside, 1);
}

TEST_F(GalleryManagerTest, ARebuiltStoreListsEveryCloudAlbumAgain) {
  // The cloud holds three albums; asked for changes since 25 it has none.
  gallery->respond = [](const fakegallery::Call& call) -> platform::Result<Json> {
    Json list = Json::array();
    if (call.parameters["syncTag"] == "0") {
      for (int id : {1, 7, 8}) list.push_back({{"id", id}, {"status", 1}, {"tag", 3}, {"name", "A" + std::to_string(id)}});
    }
    return Json{{"list", list}, {"lastPage", true}, {"syncTag", 25}, {"syncExtraInfo", "e25"}};
  };
  const auto store = LMGalleryStoreStack::storeURL();
  const auto elsewhere = store.parent_path() / "elsewhere";
  namespace fs = std::filesystem;
  // A whole store of a few pages, closed again.
  auto withSavedAlbum = [&] {
    auto coordinator = platform::objectstore::PersistentStoreCoordinator::open(galleryObjectModel(), store);
    ASSERT_TRUE(coordinator);
    auto context = platform::objectstore::ManagedObjectContext::make(platform::objectstore::ConcurrencyType::MainQueue);
    context->setPersistentStoreCoordinator(*coordinator);
    context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName)->setInteger("serverID", 42);
    ASSERT_TRUE(context->save());
  };
  auto write = [](const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; };
  const std::string badHeader = std::string("SQLite format 3", 16) + std::string(84, '\xff');
  const std::vector<std::pair<const char*, std::function<void()>>> damages = {
      {"garbage", [&] { write(store, std::string(8192, '\x7f')); }},
      {"empty", [&] { write(store, ""); }},
      {"bad header", [&] { write(store, badHeader + std::string(4096, '\0')); }},
      {"link", [&] {
         write(elsewhere, std::string(4096, 'g'));
         fs::create_symlink(elsewhere, store);
       }},
      {"folder", [&] { fs::create_directory(store); }},
      {"sparse 4 GiB", [&] {
         write(store, "");
         fs::resize_file(store, std::uint64_t{4} << 30);
       }},
      {"missing", [] {}},
      {"page zeroed", [&] {
         withSavedAlbum();
         testsupport::damagePages(store, '\0');
       }},
      {"page of garbage", [&] {
         withSavedAlbum();
         testsupport::damagePages(store, '\x5a');
       }},
      {"pages zeroed while in use", [&] {
         // The listing's tokens are taken while the store is whole; the
         // next read meets the damage.
         albumNames();
         manager.setAlbumSync(25);
         testsupport::damagePagesInUse(store, '\0');
         albumNames();
       }},
      {"damage met by the save of a listing begun before", [&] {
         albumNames();
         manager.setAlbumSync(25);
         manager.setAlbumSyncExtraInfo("e25");
         fakegallery::Responder whole = gallery->respond;
         gallery->respond = [&, whole](const fakegallery::Call& call) -> platform::Result<Json> {
           if (call.parameters["syncTag"] != "25") return whole(call);
           testsupport::damagePagesInUse(store, '\0');
           return Json{{"list", Json::array({{{"id", 7}, {"status", 1}, {"tag", 3}, {"name", "A7"}}})},
                       {"lastPage", true}, {"syncTag", 30}, {"syncExtraInfo", "e30"}};
         };
         offMain([&] { manager.requestAlbumObjectWithFinish(nullptr); });
         settle();
         gallery->respond = whole;
       }},
  };
  // The store of the case before, closed here before its files go. Its last
  // write may let go of it on the writer queue after the write's tail ran;
  // closing there, SQLite could find the file still its own, and then
  // delete the write-ahead log and shared memory of the next case's store
  // by their names (its reads fail with an I/O error, not as damage).
  std::shared_ptr<platform::objectstore::PersistentStoreCoordinator> before;
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    LMGalleryStoreStack::setShared(nullptr);
    ASSERT_TRUE(MainQueue::main().runUntil([&] { return before.use_count() <= 1; },
                                           testsupport::scaled(std::chrono::seconds(10))));
    before.reset();
    fs::create_directories(store.parent_path());
    for (const auto& entry : fs::directory_iterator(store.parent_path())) fs::remove_all(entry.path());
    manager.setAlbumSync(25);
    manager.setAlbumSyncExtraInfo("e25");
    damage();
    std::optional<platform::Error> failed;
    offMain([&] { manager.requestAlbumObjectWithFinish([&](std::optional<platform::Error> error) { failed = error; }); });
    settle();
    EXPECT_FALSE(failed);
    EXPECT_EQ(albumNames(), (std::vector<std::string>{"1:A1:1", "7:A7:0", "8:A8:0"}));
    EXPECT_EQ(manager.albumSync(), 25);
    before = LMGalleryStoreStack::shared()->persistentStoreCoordinator();
  }
}

TEST_F(GalleryManagerTest, AlbumListsMergeByStatusAndTagAndKeepTheirTokens) {
  platform::UserDefaults::standard().setObject(LMGalleryManager::kAlbumSyncExtraInfoKey, std::string("old"));
  bool finished = false;
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(1, 1, 5, "Camera"), galleryTestAlbum(7, 1, 3, "Trips"),
                                     galleryTestAlbum(8, 1, 3, "Gone later"), galleryTestAlbum(9, 2, 3, "Deleted")},
                                    10, std::nullopt, false, [&] { finished = true; });
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return finished; }, testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(albumNames(), (std::vector<std::string>{"1:Camera:1", "7:Trips:0", "8:Gone later:0"}));
  EXPECT_EQ(manager.albumSync(), 10);
  EXPECT_FALSE(manager.albumSyncExtraInfo()) << "a missing extra info removes its key";

  // A full listing: a smaller tag keeps the album as it is (and stored), an
  // equal one applies again, the unlisted album goes.
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(1, 1, 4, "Stale"), galleryTestAlbum(7, 1, 3, "Trips 2")}, 11,
                                    "x", true, nullptr);
  settle();
  EXPECT_EQ(albumNames(), (std::vector<std::string>{"1:Camera:1", "7:Trips 2:0"}));
  EXPECT_EQ(manager.albumSyncExtraInfo(), "x");

  // Low space: exactly the bound still saves; a byte less (or a space that
  // cannot be read) stores nothing and keeps the tokens.
  struct Case {
    std::optional<std::int64_t> space;
    bool saves;
  };
  std::int64_t tag = 20;
  for (const Case& c : {Case{LMGalleryManager::kLowFreeSpaceBytes, true},
                        Case{LMGalleryManager::kLowFreeSpaceBytes - 1, false}, Case{std::nullopt, false}}) {
    freeSpace = c.space;
    std::filesystem::create_directories(platform::ui::ImageCache::sharedImageCache().diskCachePath());
    manager.saveAlbumObjectsWithArray({galleryTestAlbum(100 + tag, 1, 1, "New")}, tag, "t", false, nullptr);
    settle();
    EXPECT_EQ(manager.getAlbumById(100 + tag, manager.managedObjectContext()) != nullptr, c.saves) << tag;
    EXPECT_EQ(manager.albumSync(), c.saves ? tag : 20) << tag;
    EXPECT_EQ(std::filesystem::exists(platform::ui::ImageCache::sharedImageCache().diskCachePath()), c.saves) << tag;
    ++tag;
  }
}

// A listing's tokens are kept on a new stack, even one whose coordinator
// stands where a freed one, made anew in use after its tokens were read,
// stood before.
TEST_F(GalleryManagerTest, TokensOfAListingOnANewStackAreKeptWhereverItsCoordinatorStands) {
  bool there = false;
  for (int tries = 0; tries < 5 && !there; ++tries) {
    LMGalleryStoreStack::setShared(nullptr);
    manager.albumSync();
    testsupport::damagePagesInUse(LMGalleryStoreStack::storeURL(), '\0');
    albumNames();
    auto remade = LMGalleryStoreStack::shared()->persistentStoreCoordinator();
    ASSERT_TRUE(remade);
    ASSERT_GT(remade->generation(), 0u) << "the damage was met and the store made anew";
    manager.albumSync();
    const void* stood = remade.get();
    remade.reset();
    for (int stacks = 0; stacks < 50 && !there; ++stacks) {
      LMGalleryStoreStack::setShared(nullptr);
      there = LMGalleryStoreStack::shared()->persistentStoreCoordinator().get() == stood;
    }
  }
  if (!there) GTEST_SKIP() << "the allocator gave no new coordinator a freed one's place";
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(1, 1, 5, "Camera")}, 10, "e10", false, nullptr);
  settle();
  EXPECT_EQ(albumNames(), std::vector<std::string>{"1:Camera:1"});
  EXPECT_EQ(manager.albumSync(), 10);
}

TEST_F(GalleryManagerTest, ImageListsFollowTheirAlbumAndAskForMissingAddressesTenAtATime) {
  std::vector<LMImage> images;
  for (std::int64_t id = 1; id <= 25; ++id) images.push_back(galleryTestImage(id, id));
  // The list is asked for right after its album: it must find the album.
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(4, 1, 1, "Family")}, 1, "e", false, nullptr);
  manager.saveAlbumImageObjects(images, 4, 30, "images-extra", false, nullptr);
  settle();
  auto context = manager.managedObjectContext();
  auto album = manager.getAlbumById(4, context);
  ASSERT_TRUE(album);
  EXPECT_EQ(album->images().size(), 25u) << "no image without its album";
  EXPECT_EQ(album->imagesSync(), 30);

  gallery->respond = [](const fakegallery::Call& call) -> platform::Result<Json> {
    Json content = Json::object();
    const std::string ids = call.parameters.value("ids", "");
    const std::string first = ids.substr(0, ids.find(','));
    // The first of each batch gets an address; the others are refused or
    // malformed.
    content[first] = {{"isUrl", true}, {"data", "http://127.0.0.1/t/" + first}};
    content["24"] = {{"isUrl", false}, {"data", "http://127.0.0.1/t/24"}};
    content["23"] = {{"isUrl", true}, {"data", 23}};
    return Json{{"content", content}};
  };
  offMain([&] { manager.requestAllImageWithAlbumID(4, 100, 100, false); });
  settle();
  std::vector<std::string> batches;
  for (const auto& call : gallery->callsTo("GET", "/thumbnails")) batches.push_back(call.parameters.value("ids", ""));
  EXPECT_EQ(batches, (std::vector<std::string>{"25,24,23,22,21,20,19,18,17,16", "15,14,13,12,11,10,9,8,7,6",
                                              "5,4,3,2,1"}));
  std::vector<std::int64_t> withAddress;
  const auto sorted = manager.getAllImagesByAlbumID(4, context, "createDate", true);
  ASSERT_TRUE(sorted);
  for (const auto& image : *sorted) {
    if (image->isThumbnailValidate()) withAddress.push_back(*image->serverID());
  }
  EXPECT_EQ(withAddress, (std::vector<std::int64_t>{5, 15, 25}));

  // Images the cloud marks gone leave; the rest of a partial list stays.
  manager.saveAlbumImageObjects({galleryTestImage(1, 1, "deleted")}, 4, 31, "e2", false, nullptr);
  settle();
  EXPECT_EQ(album->images().size(), 24u);
  EXPECT_FALSE(manager.getImageBySha1("sha-1", 101, 4));
  EXPECT_TRUE(manager.getImageBySha1("sha-2", 102, 4)) << "found through the read connection";
}

TEST_F(GalleryManagerTest, AnAlbumWhoseImagesTheCloudKeptIsReportedNotDeleted) {
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(5, 1, 1, "Keeps one"), galleryTestAlbum(6, 1, 1, "Goes")}, 1,
                                    "e", false, nullptr);
  manager.saveAlbumImageObjects({galleryTestImage(51, 1), galleryTestImage(52, 2)}, 5, 1, "e", false, nullptr);
  manager.saveAlbumImageObjects({galleryTestImage(61, 1)}, 6, 1, "e", false, nullptr);
  gallery->respond = [](const fakegallery::Call& call) -> platform::Result<Json> {
    if (call.path == "/full/image/batchdelete") {
      const Json content = call.parameters.contains("content") ? Json::parse(call.parameters["content"].get<std::string>())
                                                               : Json::array();
      Json fail = Json::array();
      for (const auto& image : content) {
        if (image["id"] == 52) fail.push_back({{"id", 52}, {"tag", 1}});
      }
      return Json{{"fail", fail}};
    }
    return Json{{"content", Json::object()}};
  };
  std::optional<std::vector<std::int64_t>> failed;
  manager.deleteAlbumsByAlbumIDs({5, 6, 404}, [&](const std::vector<std::int64_t>& ids) { failed = ids; });
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return failed.has_value(); },
                                         testsupport::scaled(std::chrono::seconds(20))));
  EXPECT_EQ(*failed, std::vector<std::int64_t>{5});
  EXPECT_EQ(albumNames(), std::vector<std::string>{"5:Keeps one:0"});
  EXPECT_FALSE(manager.getImageById(61, manager.managedObjectContext())) << "images go with their album";
  EXPECT_EQ(gallery->callsTo("POST", "/full/album/5/delete").size(), 0u);
}

// Albums stored before their covers' orientations were kept would show
// each cover as stored (on its side) until the album changed: their store
// is listed once from the start, and listings then go on from their tokens.
TEST_F(GalleryManagerTest, AlbumsStoredWithoutTheirCoversOrientationsAreListedAgainFromTheStart) {
  std::vector<std::string> asked;
  gallery->respond = [&](const fakegallery::Call& call) -> platform::Result<Json> {
    asked.push_back(call.parameters.value("syncTag", std::string("-")));
    Json list = Json::array();
    if (call.parameters["syncTag"] == "0") {
      list.push_back({{"id", 7}, {"status", 1}, {"tag", 3}, {"name", "Trips"},
                      {"thumbnailUrls", {"http://127.0.0.1/c7"}}, {"thumbnailOrientations", {6}}});
    }
    return Json{{"list", list}, {"lastPage", true}, {"syncTag", 25}, {"syncExtraInfo", "e25"}};
  };
  auto context = manager.managedObjectContext();
  auto stored =
      std::static_pointer_cast<LMAlbumObject>(context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
  stored->setServerID(7);
  stored->setAlbumSync(3);
  stored->setThumbnailUrls(std::string(R"(["http://127.0.0.1/c7"])"));
  ASSERT_TRUE(context->save());
  manager.setAlbumSync(25);
  manager.setAlbumSyncExtraInfo("e25");
  for (const auto& expected : {std::vector<std::string>{"0"}, std::vector<std::string>{"0", "25"}}) {
    offMain([&] { manager.requestAlbumObjectWithFinish(nullptr); });
    settle();
    EXPECT_EQ(asked, expected);
    auto album = manager.getAlbumById(7, context);
    ASSERT_TRUE(album);
    EXPECT_EQ(LMCustomUtils::jsonObjectFromString(album->thumbnailOrientations()), Json::array({6}));
  }
}

TEST_F(GalleryManagerTest, OrientationIsAWholeNumberFromOneToEight) {
  const std::vector<std::pair<std::optional<std::string>, std::int64_t>> cases = {
      {std::nullopt, 1},          {"", 1},
      {"{}", 1},                  {R"({"orientation": 6})", 6},
      {R"({"orientation": 9})", 1}, {R"({"orientation": "6"})", 1},
      {"not json", 1},
  };
  manager.saveAlbumObjectsWithArray({galleryTestAlbum(3, 1, 1, "A")}, 1, "e", false, nullptr);
  std::vector<LMImage> images;
  for (std::size_t i = 0; i < cases.size(); ++i) images.push_back(galleryTestImage(300 + i, 1));
  manager.saveAlbumImageObjects(images, 3, 1, "e", false, nullptr);
  settle();
  auto context = manager.managedObjectContext();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto image = manager.getImageById(300 + i, context);
    image->setExifInfo(cases[i].first);
    EXPECT_EQ(image->getImageObjectOrientation(), cases[i].second) << cases[i].first.value_or("<none>");
  }
  context->rollback();
}

}  // namespace
}  // namespace lumora
