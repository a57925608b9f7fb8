// The block storage helper against a stand-in node: descriptions that could
// never be fetched fail before any request, without touching a file; blocks
// are fetched from their addresses in turn and taken only once decrypted
// and checked; progress never counts a block twice; block uploads succeed
// only on a completed block with its commit meta.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/kss/LMKssDescription.h"
#include "cloud/kss/LMKssFileHelper.h"
#include "platform/http/TestServer.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace {

using lumora::LMKssFileHelper;
using platform::Bytes;
using platform::Json;
using platform::toBytes;

const Bytes kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
constexpr const char* kKeyText = "0011223344556677";

Bytes pattern(std::size_t size, int seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
  return bytes;
}
std::string encrypted(const Bytes& plain) { return platform::toString(*lumora::rc4DataWithKey(plain, kKey)); }

// One block upload as the node saw it.
struct Upload {
  std::multimap<std::string, std::string> params;
  std::string contentType;
  std::string body;
};

// A stand-in storage node: block bodies by path ("/b/<name>"), canned
// replies to block uploads, and the requests it saw.
class Node {
 public:
  Node() {
    server_->Get("/b/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> guard(mutex_);
      hits_.push_back(req.matches[1]);
      auto body = bodies_.find(req.matches[1]);
      if (body == bodies_.end()) {
        res.status = 404;
        res.set_content("gone", "text/plain");
      } else {
        res.set_content(body->second, "application/octet-stream");
      }
    });
    server_->Post("/node/upload_block_chunk", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> guard(mutex_);
      uploads_.push_back(Upload{req.params, req.get_header_value("Content-Type"), req.body});
      res.set_content(replies_.empty() ? "" : replies_.front(), "application/json");
      if (!replies_.empty()) replies_.pop_front();
    });
    server_.start();
  }
  void serve(const std::string& name, std::string body) {
    std::lock_guard<std::mutex> guard(mutex_);
    bodies_[name] = std::move(body);
  }
  void reply(std::vector<std::string> replies) {
    std::lock_guard<std::mutex> guard(mutex_);
    replies_.assign(replies.begin(), replies.end());
  }
  std::string url(const std::string& name) const { return server_.url("/b/" + name); }
  std::string nodeUrl() const { return server_.url("/node"); }
  std::vector<std::string> hits() {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(hits_, {});
  }
  std::vector<Upload> uploads() {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(uploads_, {});
  }

 private:
  testhttp::TestServer server_;
  std::mutex mutex_;
  std::map<std::string, std::string> bodies_;
  std::deque<std::string> replies_;
  std::vector<std::string> hits_;
  std::vector<Upload> uploads_;
};

struct Download {
  int finishes = 0;
  std::optional<LMKssFileHelper::FileResult> result;
  std::optional<platform::Error> error;
  std::vector<std::array<std::int64_t, 3>> progress;
};

Download download(const Json& kss, const std::optional<std::string>& fileName) {
  Download out;
  LMKssFileHelper::downloadKssFileWithKSS(
      kss, fileName,
      [&out](std::int64_t now, std::int64_t soFar, std::int64_t index) {
        out.progress.push_back({now, soFar, index});
      },
      [&out](const auto& result, const auto& error) {
        ++out.finishes;
        out.result = result;
        out.error = error;
      });
  return out;
}

Json block(std::vector<std::string> urls, const Bytes& plain) {
  return Json{{"urls", urls}, {"sha1", lumora::sha1String(plain)}, {"size", plain.size()}};
}

std::string reasonOf(const std::optional<platform::Error>& error) {
  return error ? error->userInfo().value(lumora::kLMErrorReasonKey, "") : "";
}

Bytes fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(LMKssFileHelper, DescriptionsThatCouldNeverBeFetchedFailBeforeAnyRequest) {
  testsupport::TestHome home;
  Node node;
  const Json good = block({node.url("p")}, toBytes("plain"));
  auto with = [&](const char* key, Json value) {
    Json kss{{"blocks", Json::array({good})}, {"secure_key", kKeyText}};
    kss[key] = std::move(value);
    return kss;
  };
  auto withBlock = [&](const char* key, Json value) {
    Json changed = good;
    if (value.is_null()) changed.erase(key);
    else changed[key] = std::move(value);
    return with("blocks", Json::array({changed}));
  };
  const std::string noUrls = lumora::kLMKssReasonNoBlockUrls;
  const std::string noKey = lumora::kLMKssReasonNoSecureKey;
  const std::string wrong = lumora::kLMKssReasonWrongBlock;
  const std::vector<std::pair<Json, std::string>> cases{
      {Json::array(), noUrls},
      {Json{{"secure_key", kKeyText}}, noUrls},
      {with("blocks", Json::array()), noUrls},
      {with("blocks", Json::array({"x"})), noUrls},
      {withBlock("urls", nullptr), noUrls},
      {withBlock("urls", Json::array()), noUrls},
      {withBlock("urls", Json::array({5})), noUrls},
      {with("secure_key", nullptr), noKey},
      {with("secure_key", ""), noKey},
      {with("secure_key", "a"), noKey},  // no whole byte: never an empty RC4 key
      {with("secure_key", "zz11"), noKey},
      {with("secure_key", 17), noKey},
      {withBlock("sha1", nullptr), wrong},
      {withBlock("size", -1), wrong},
      {withBlock("size", 1.5), wrong},
      {withBlock("size", "5"), wrong},
      {withBlock("size", lumora::kLMKssMaxBlockSize + 1), wrong},
  };
  for (const auto& [kss, reason] : cases) {
    Download got = download(kss, std::string("keep.bin"));
    EXPECT_EQ(got.finishes, 1);
    ASSERT_TRUE(got.error) << kss.dump();
    EXPECT_EQ(got.error->code(), lumora::kLMServerErrorUnknownReply);
    EXPECT_EQ(reasonOf(got.error), reason) << kss.dump();
  }
  // A file name from the server never leads out of the download folder.
  const auto caches = lumora::LMUtils::imageTransferDirectory();
  for (const char* name : {"", ".", "..", "../escape", "/tmp/escape", "a/b"}) {
    Download got = download(with("blocks", Json::array({good})), std::string(name));
    ASSERT_TRUE(got.error) << name;
    EXPECT_EQ(got.error->code(), lumora::kLMLocalErrorInvalidParameters) << name;
  }
  // Nor does a link that lies in the directory under that name.
  const auto outside = caches.parent_path() / "outside";
  std::filesystem::create_directories(caches);
  std::filesystem::create_symlink(outside, caches / "link.bin");
  Download linked = download(with("blocks", Json::array({good})), std::string("link.bin"));
  ASSERT_TRUE(linked.error);
  EXPECT_EQ(linked.error->code(), lumora::kLMLocalErrorWriteFail);
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_FALSE(std::filesystem::exists(caches / "keep.bin"));
  // Nor is a user's file linked under that name emptied or written, nor a
  // pipe waited on: that image fails.
  const auto userFile = caches.parent_path() / "notes.txt";
  testsupport::writeFile(userFile, toBytes("the user's notes\n"));
  for (auto kind : {testsupport::Planted::SymbolicLink, testsupport::Planted::Pipe}) {
    SCOPED_TRACE(testsupport::plantedName(kind));
    const auto planted = caches / "planted.bin";
    ASSERT_TRUE(testsupport::plant(kind, planted, userFile));
    Download got;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(
        planted, [&] { got = download(with("blocks", Json::array({good})), std::string("planted.bin")); }));
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->code(), lumora::kLMLocalErrorWriteFail);
    EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), "the user's notes\n");
    std::filesystem::remove(planted);
  }
  EXPECT_FALSE(std::filesystem::exists(caches.parent_path() / "escape"));
  EXPECT_TRUE(node.hits().empty());
}

TEST(LMKssFileHelper, BlocksAreTriedAtTheirAddressesInTurnAndTakenOnlyOnceChecked) {
  testsupport::TestHome home;
  Node node;
  const Bytes p0 = pattern(70000, 1), p1 = pattern(50000, 2), p2 = toBytes("tail");
  node.serve("p0", encrypted(p0));
  node.serve("p1", encrypted(p1));
  node.serve("p2", encrypted(p2));
  node.serve("short", encrypted(p2).substr(1));
  node.serve("long", encrypted(p2) + "more bytes than the block");
  node.serve("bad1", encrypted(toBytes("TAIL")));
  node.serve("bad2", encrypted(toBytes("tall")));

  // A 404 page, a short and a long body are each retried at the next
  // address; the file holds exactly the checked blocks.
  Json kss{{"secure_key", kKeyText},
           {"blocks", Json::array({block({node.url("missing"), node.url("p0")}, p0),
                                   block({node.url("p1")}, p1),
                                   block({node.url("long"), node.url("short"), node.url("p2")}, p2)})}};
  Download got = download(kss, std::string("photo.jpg"));
  ASSERT_FALSE(got.error) << got.error->description();
  EXPECT_EQ(got.finishes, 1);
  EXPECT_EQ(node.hits(), (std::vector<std::string>{"missing", "p0", "p1", "long", "short", "p2"}));
  const auto path = lumora::LMUtils::imageTransferDirectory() / "photo.jpg";
  EXPECT_EQ(std::get<std::string>(*got.result), path.string());
  Bytes whole = p0;
  whole.insert(whole.end(), p1.begin(), p1.end());
  whole.insert(whole.end(), p2.begin(), p2.end());
  EXPECT_EQ(fileBytes(path), whole);
  // Progress: the blocks taken plus the current attempt, never more.
  const std::int64_t before[] = {0, 70000, 120000};
  const std::int64_t sizes[] = {70000, 50000, 4};
  ASSERT_FALSE(got.progress.empty());
  for (const auto& [now, soFar, index] : got.progress) {
    ASSERT_GE(index, 0);
    ASSERT_LE(index, 2);
    EXPECT_GT(soFar, before[index] - 1);
    EXPECT_LE(soFar, before[index] + sizes[index]);
  }
  EXPECT_EQ(got.progress.back()[1], 120004);

  // Into memory, the same bytes.
  Download inMemory = download(kss, std::nullopt);
  EXPECT_EQ(std::get<Bytes>(*inMemory.result), whole);
  node.hits();

  // A block that never checks out fails after three attempts, the
  // addresses taken in turn; the file keeps the blocks before it. The file
  // had a second name (a copy of the home made with hard links): that one
  // keeps the bytes it had.
  const auto secondName = path.parent_path().parent_path() / "snapshot-photo.jpg";
  std::filesystem::create_hard_link(path, secondName);
  Json failing{{"secure_key", kKeyText},
               {"blocks", Json::array({block({node.url("p0")}, p0),
                                       block({node.url("bad1"), node.url("bad2")}, p2)})}};
  got = download(failing, std::string("photo.jpg"));
  EXPECT_EQ(got.finishes, 1);
  EXPECT_FALSE(got.result);
  EXPECT_EQ(reasonOf(got.error), lumora::kLMKssReasonWrongBlock);
  EXPECT_EQ(node.hits(), (std::vector<std::string>{"p0", "bad1", "bad2", "bad1"}));
  EXPECT_EQ(fileBytes(path), p0);
  EXPECT_EQ(fileBytes(secondName), whole);

  // The digest is compared exactly: one in capitals never matches.
  Json capitals = block({node.url("p2")}, p2);
  std::string sha1 = capitals["sha1"];
  std::transform(sha1.begin(), sha1.end(), sha1.begin(), ::toupper);
  capitals["sha1"] = sha1;
  got = download(Json{{"secure_key", kKeyText}, {"blocks", Json::array({capitals})}}, std::nullopt);
  EXPECT_EQ(reasonOf(got.error), lumora::kLMKssReasonWrongBlock);
  EXPECT_EQ(node.hits().size(), 3u);
}

TEST(LMKssFileHelper, ABlockUploadSucceedsOnlyWithACompletedBlockAndItsCommitMeta) {
  Node node;
  const Bytes block = pattern(300000, 3);
  struct Case {
    std::vector<std::string> replies;
    Json bodySum;
    std::size_t requests;
    std::int64_t code;  // 0: success
  };
  const std::string completed = R"({"stat":"BLOCK_COMPLETED","commit_meta":{"m":1}})";
  const std::vector<Case> cases{
      {{R"({"stat":"BUSY"})", completed}, "12", 2, 0},
      {{completed}, 12, 1, 0},
      {{"", "", ""}, nullptr, 3, lumora::kLMJSONErrorCode},  // an empty reply is no success
      {{"not json", "[1", "{"}, nullptr, 3, lumora::kLMJSONErrorCode},
      {{R"({"stat":"BLOCK_COMPLETED"})", R"({"stat":"BLOCK_COMPLETED","commit_meta":null})",
        R"(["BLOCK_COMPLETED"])"},
       nullptr, 3, lumora::kLMKssErrorBlockNotCompleted},
  };
  for (const Case& c : cases) {
    node.reply(c.replies);
    int finishes = 0;
    std::optional<Json> commitMeta;
    std::optional<platform::Error> error;
    std::int64_t sent = 0;
    LMKssFileHelper::uploadKSSBlockUrl(
        node.nodeUrl(), block, "file-meta", Json{{"block", 1}}, c.bodySum,
        [&sent](std::int64_t, std::int64_t total, std::int64_t) { sent = total; },
        [&](const auto& meta, const auto& failure) {
          ++finishes;
          commitMeta = meta;
          error = failure;
        });
    EXPECT_EQ(finishes, 1);
    auto requests = node.uploads();
    ASSERT_EQ(requests.size(), c.requests) << c.replies.front();
    const Upload& first = requests.front();
    auto param = [&first](const char* name) {
      auto found = first.params.find(name);
      return found == first.params.end() ? std::string("(none)") : found->second;
    };
    EXPECT_EQ(param("file_meta"), "file-meta");
    EXPECT_EQ(param("block_meta[block]"), "1");
    EXPECT_EQ(param("chunk_pos"), "0");
    EXPECT_EQ(param("body_sum"), c.bodySum.is_number() ? "12" : "(none)");
    EXPECT_EQ(first.contentType, "application/octet-stream");
    EXPECT_EQ(first.body, platform::toString(block));
    EXPECT_EQ(sent, 300000);
    if (c.code == 0) {
      EXPECT_FALSE(error);
      EXPECT_EQ(commitMeta, (Json{{"m", 1}}));
    } else {
      EXPECT_FALSE(commitMeta);
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), c.code);
    }
  }
}

}  // namespace
