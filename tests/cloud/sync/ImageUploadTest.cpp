// Backing up one exported image against a scripted gallery and a stand-in
// storage node: blocks sent RC4-encrypted under the gallery's key, committed
// in order, the relation row written; replies that cannot be followed fail
// before any block; the delegate's answer skips the upload; a cancel during
// a block ends with -10012; the exported file never outlives the call. And
// the download of a stored image through the data-request queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cloud/sync/FakeGallery.h"
#include "cloud/model/LMBlockDigests.h"
#include "platform/Bytes.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/TestServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/LMErrors.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace {

namespace fs = std::filesystem;
using fakegallery::Call;
using lumora::LMImage;
using platform::Bytes;
using platform::Error;
using platform::Json;

constexpr std::size_t kBlock = 4194304;
constexpr const char* kUploadKeyText = "00112233445566778899aabbccddeeff";

Bytes uploadPattern(std::size_t size, int seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
  return bytes;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), from + length)));
}

// A stand-in storage node: block uploads (completed with "c<block_meta>"
// unless held) and block bodies by name.
class UploadNode {
 public:
  UploadNode() {
    server_->Post("/node/upload_block_chunk", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        uploads_.push_back({req.get_param_value("block_meta"), req.body});
        arrived_.notify_all();
      }
      if (hold_) server_.gate().wait();
      const bool refused = refusals_ > 0 && refusals_-- > 0;
      res.set_content(Json{{"stat", refused ? "BLOCK_BROKEN" : "BLOCK_COMPLETED"},
                           {"commit_meta", "c" + req.get_param_value("block_meta")}}
                          .dump(),
                      "application/json");
    });
    server_->Get("/b/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++reads_;
      res.set_content(bodies_[req.matches[1]], "application/octet-stream");
    });
    server_.start();
  }
  struct Upload {
    std::string blockMeta;
    std::string body;
  };
  std::vector<Upload> uploads() {
    std::lock_guard<std::mutex> guard(mutex_);
    return uploads_;
  }
  bool waitForUpload() {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)), [this] { return !uploads_.empty(); });
  }
  void serve(const std::string& name, std::string body) {
    std::lock_guard<std::mutex> guard(mutex_);
    bodies_[name] = std::move(body);
  }
  int reads() {
    std::lock_guard<std::mutex> guard(mutex_);
    return reads_;
  }
  std::string url(const std::string& path) const { return server_.url(path); }
  void hold() { hold_ = true; }
  // The next `count` block uploads are not completed.
  void refuse(int count) { refusals_ = count; }

 private:
  testhttp::TestServer server_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Upload> uploads_;
  std::map<std::string, std::string> bodies_;
  int reads_ = 0;
  std::atomic<bool> hold_{false};
  std::atomic<int> refusals_{0};
};

class ImageUploadTest : public ::testing::Test {
 protected:
  ImageUploadTest() { clock->setAutoAdvanceSleeps(true); }

  // An exported image of `size` bytes, as the library export leaves it.
  LMImage exported(std::size_t size) {
    content = uploadPattern(size, 7);
    const fs::path path = platform::AppHome::tmp() / "IMG_0001.JPG";
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                 static_cast<std::streamsize>(content.size()));
    auto digests = lumora::digestBlocksOfData(content);
    LMImage image;
    image.assetID = "asset-1";
    image.assetGroupID = "album-1";
    image.serverGroupID = 1;
    image.fileName = "IMG_0001.JPG";
    image.type = lumora::kLMAssetTypeImage;
    image.size = static_cast<std::int64_t>(size);
    image.sha1 = digests.sha1;
    image.blockInfos = digests.blockInfos;
    image.filePath = path.string();
    return image;
  }

  // The gallery's answer to an upload request for `blocks` blocks, block
  // `existing` already stored; and the stored image on commit.
  void storesWith(std::size_t blocks, std::set<std::size_t> existing = {}, Json key = kUploadKeyText) {
    gallery->respond = [this, blocks, existing, key](const Call& call) -> platform::Result<Json> {
      Json stored{{"id", 900}, {"tag", 3}, {"sha1", lumora::sha1String(content)}, {"size", content.size()}};
      if (call.path == "/full/900/storage") return Json{{"content", commitContent.is_null() ? stored : commitContent}};
      Json metas = Json::array();
      for (std::size_t i = 0; i < blocks; ++i) {
        metas.push_back(existing.contains(i) ? Json{{"is_existed", true}, {"commit_meta", "kept"}}
                                             : Json{{"is_existed", false}, {"block_meta", std::to_string(i)}});
      }
      Json kss{{"block_metas", metas}, {"file_meta", "fm"}, {"node_urls", Json::array({node.url("/node")})}};
      if (!key.is_null()) kss["secure_key"] = key;
      return Json{{"content", stored}, {"fileExists", false}, {"kss", kss}};
    };
  }

  std::optional<Error> backup(LMImage& image) {
    auto outcome = adapter->backupImage(image);
    if (outcome) return std::nullopt;
    return outcome.error();
  }
  std::optional<lumora::LMImageRelation> relation() {
    return adapter->context()->searchImageRelationByServerID(900, "asset-1", "album-1").value();
  }
  std::vector<Call> commits() { return gallery->callsTo("POST", "/full/900/storage"); }

  testsupport::TestHome home;
  // The gallery's pacing passes at once.
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  UploadNode node;
  Bytes content;
  Json commitContent;
  std::shared_ptr<fakegallery::FakeGallery> gallery = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter = std::make_shared<fakegallery::Adapter>(gallery);
};

TEST_F(ImageUploadTest, BlocksGoEncryptedAreCommittedInOrderAndTheRelationIsWritten) {
  auto delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
  std::vector<std::int64_t> totals;
  delegate->didAdapterUploadImageBytesWritten = [&](const LMImage& image, std::int64_t, std::int64_t total,
                                                    std::int64_t expected) {
    EXPECT_EQ(*image.serverID, 900);
    EXPECT_EQ(expected, static_cast<std::int64_t>(2 * kBlock + 1));
    totals.push_back(total);
  };
  adapter->setDelegate(delegate);
  LMImage image = exported(2 * kBlock + 1);
  storesWith(3);
  node.refuse(1);  // the first block goes twice, encrypted afresh each time
  ASSERT_FALSE(backup(image));

  const Bytes key = *platform::hexData(kUploadKeyText);
  auto uploads = node.uploads();
  ASSERT_EQ(uploads.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t block = i == 0 ? 0 : i - 1;
    EXPECT_EQ(uploads[i].blockMeta, std::to_string(block));
    EXPECT_EQ(*lumora::rc4DataWithKey(platform::toBytes(uploads[i].body), key), slice(content, block * kBlock, kBlock));
  }
  ASSERT_EQ(commits().size(), 1u);
  EXPECT_EQ(Json::parse(commits()[0].parameters["data"].get<std::string>())["kss"],
            (Json{{"file_meta", "fm"},
                  {"commit_metas", Json::array({{{"commit_meta", "c0"}}, {{"commit_meta", "c1"}}, {{"commit_meta", "c2"}}})}}));
  auto row = relation();
  ASSERT_TRUE(row);
  EXPECT_EQ(row->serverSync, 3);
  EXPECT_EQ(row->sha1, image.sha1);
  EXPECT_EQ(row->size, image.size);
  EXPECT_FALSE(fs::exists(*image.filePath));

  platform::MainQueue::main().runUntilIdle();
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), static_cast<std::int64_t>(2 * kBlock + 1));
  EXPECT_TRUE(std::any_of(totals.begin(), totals.end(), [](std::int64_t t) { return t > static_cast<std::int64_t>(kBlock); }));

  // Blocks the storage holds are not sent again; the file already stored
  // sends nothing and commits nothing. One row all along.
  LMImage again = exported(2 * kBlock + 1);
  storesWith(3, {1});
  ASSERT_FALSE(backup(again));
  uploads = node.uploads();
  ASSERT_EQ(uploads.size(), 6u);
  EXPECT_EQ(uploads[4].blockMeta, "0");
  EXPECT_EQ(uploads[5].blockMeta, "2");
  EXPECT_EQ(Json::parse(commits()[1].parameters["data"].get<std::string>())["kss"]["commit_metas"][1],
            (Json{{"commit_meta", "kept"}}));
  fakegallery::Responder relay = gallery->respond;
  gallery->respond = [relay](const Call& call) -> platform::Result<Json> {
    auto reply = relay(call);
    if (reply.ok() && call.path == "/full") (*reply)["fileExists"] = true;
    return reply;
  };
  LMImage third = exported(2 * kBlock + 1);
  ASSERT_FALSE(backup(third));
  EXPECT_EQ(node.uploads().size(), 6u);
  EXPECT_EQ(commits().size(), 2u);
  EXPECT_FALSE(fs::exists(*third.filePath));
  EXPECT_EQ(adapter->context()->searchAllImageRelations()->size(), 1u);

  // A block encrypted by its caller, through the adapter's block upload.
  std::optional<Json> meta;
  adapter->requestUploadKSSBlockUrl(node.url("/node"), *lumora::rc4DataWithKey(content, key), "fm", "9", 0,
                                    std::nullopt, nullptr, [&](const auto& commitMeta, const auto&) { meta = commitMeta; });
  EXPECT_EQ(meta, Json("c9"));
  EXPECT_EQ(*lumora::rc4DataWithKey(platform::toBytes(node.uploads().back().body), key), content);
}

TEST_F(ImageUploadTest, RepliesThatCannotBeFollowedFailBeforeAnyBlock) {
  struct Case {
    std::size_t metas;
    Json key;
    bool nodes;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {4, kUploadKeyText, true, lumora::kLMServerErrorUnknownReply},  // too many blocks listed
      {2, kUploadKeyText, true, lumora::kLMServerErrorUnknownReply},  // too few: would commit part of the file
      {3, "", true, lumora::kLMServerErrorUnknownReply},
      {3, "zz00", true, lumora::kLMServerErrorUnknownReply},
      {3, "a", true, lumora::kLMServerErrorUnknownReply},  // no whole byte
      {3, nullptr, true, lumora::kLMServerErrorUnknownReply},
      {3, kUploadKeyText, false, lumora::kLMServerErrorUnknownReply},  // no node
  };
  for (const Case& c : cases) {
    LMImage image = exported(2 * kBlock + 1);
    storesWith(c.metas, {}, c.key);
    if (!c.nodes) {
      fakegallery::Responder relay = gallery->respond;
      gallery->respond = [relay](const Call& call) -> platform::Result<Json> {
        auto reply = relay(call);
        if (reply.ok() && call.path == "/full") (*reply)["kss"]["node_urls"] = Json::array();
        return reply;
      };
    }
    auto error = backup(image);
    ASSERT_TRUE(error) << c.metas << " " << c.key;
    EXPECT_EQ(error->code(), c.code);
    EXPECT_FALSE(fs::exists(*image.filePath));
  }
  // The exported file gone before the upload: -1.
  LMImage image = exported(10);
  storesWith(1);
  fs::remove(*image.filePath);
  EXPECT_EQ(backup(image)->code(), lumora::kLMLocalErrorGeneral);

  EXPECT_TRUE(node.uploads().empty());
  EXPECT_TRUE(commits().empty());
  EXPECT_TRUE(adapter->context()->searchAllImageRelations()->empty());
}

TEST_F(ImageUploadTest, TheDelegatesCloudImageIsRecordedWithoutUploadAndARefusedRowIsAFailure) {
  auto delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
  std::optional<LMImage> answer;
  delegate->serverImageInSameAlbumImage = [&](const LMImage& image) {
    EXPECT_EQ(image.assetID, "asset-1");
    return answer;
  };
  adapter->setDelegate(delegate);
  answer = LMImage();
  answer->serverID = 900;
  answer->sync = 8;
  answer->sha1 = "cafe";
  LMImage image = exported(100);
  ASSERT_FALSE(backup(image));
  EXPECT_TRUE(gallery->calls().empty());
  EXPECT_FALSE(fs::exists(*image.filePath));
  auto row = relation();
  ASSERT_TRUE(row);
  EXPECT_EQ(row->serverSync, 8);
  EXPECT_EQ(row->sha1, "cafe");

  // An answer that names no cloud image: uploaded. A stored image the
  // store cannot record (no SHA-1): the backup fails.
  answer->serverID.reset();
  adapter->context()->deleteAllImageRelations();
  LMImage second = exported(100);
  storesWith(1);
  commitContent = Json{{"id", 900}, {"tag", 3}};
  auto error = backup(second);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorDatabase);
  EXPECT_EQ(node.uploads().size(), 1u);
  EXPECT_FALSE(relation());
}

TEST_F(ImageUploadTest, ACancelDuringABlockEndsTheUploadWithoutARelation) {
  node.hold();
  LMImage image = exported(2 * kBlock + 1);
  storesWith(3);
  adapter->setSyncing(true);
  auto running = std::async(std::launch::async, [&] { return backup(image); });
  ASSERT_TRUE(node.waitForUpload());
  EXPECT_TRUE(adapter->cancelSync());
  ASSERT_EQ(running.wait_for(testsupport::scaled(std::chrono::seconds(10))), std::future_status::ready);
  auto error = running.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorCancelled);
  EXPECT_EQ(error->userInfo()[lumora::kLMErrorReasonKey], "Backup process is cancelled.");
  EXPECT_EQ(node.uploads().size(), 1u);
  EXPECT_TRUE(commits().empty());
  EXPECT_FALSE(relation());
  EXPECT_FALSE(fs::exists(*image.filePath));
}

TEST_F(ImageUploadTest, StoredImagesComeBackDecryptedThroughTheDataQueue) {
  const Bytes plain = uploadPattern(kBlock + 5, 3);
  const Bytes key = *platform::hexData(kUploadKeyText);
  Json blocks = Json::array();
  for (std::size_t i = 0; i * kBlock < plain.size(); ++i) {
    Bytes block = slice(plain, i * kBlock, kBlock);
    node.serve(std::to_string(i), platform::toString(*lumora::rc4DataWithKey(block, key)));
    blocks.push_back({{"urls", Json::array({node.url("/b/" + std::to_string(i))})},
                      {"sha1", lumora::sha1String(block)},
                      {"size", block.size()}});
  }
  Json kss{{"blocks", blocks}, {"secure_key", kUploadKeyText}};
  gallery->respond = [&kss](const Call&) -> platform::Result<Json> { return Json{{"kss", kss}}; };
  LMImage image;
  image.serverID = 900;
  image.size = static_cast<std::int64_t>(plain.size());
  struct Outcome {
    std::optional<lumora::LMKssFileHelper::FileResult> result;
    std::optional<Error> error;
    std::int64_t expected = 0;
  };
  auto download = [&] {
    Outcome out;
    adapter->downloadDataFromImageObject(
        image, [&](std::int64_t, std::int64_t, std::int64_t expected) { out.expected = expected; },
        [&](const auto& result, const auto& error) {
          out.result = result;
          out.error = error;
        });
    return out;
  };
  Outcome inMemory = download();
  ASSERT_FALSE(inMemory.error);
  EXPECT_EQ(std::get<Bytes>(*inMemory.result), plain);
  EXPECT_EQ(inMemory.expected, image.size);
  image.fileName = "IMG_9.JPG";
  Outcome inFile = download();
  ASSERT_FALSE(inFile.error);
  std::ifstream file(std::get<std::string>(*inFile.result), std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), plain);

  // Cancelled: ends before asking the storage.
  const int reads = node.reads();
  adapter->setSyncing(true);
  adapter->cancelSync();
  Outcome cancelled = download();
  ASSERT_TRUE(cancelled.error);
  EXPECT_EQ(cancelled.error->code(), lumora::kLMLocalErrorCancelled);
  EXPECT_EQ(cancelled.error->userInfo()[lumora::kLMErrorReasonKey], "Downloading image is cancelled.");
  EXPECT_EQ(node.reads(), reads);
  adapter->setSyncing(false);

  // No storage description.
  gallery->respond = [](const Call&) -> platform::Result<Json> { return Json{{"other", 1}}; };
  Outcome missing = download();
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->userInfo()[lumora::kLMErrorReasonKey], "The kss data is not found.");
}

}  // namespace
