// The block storage node: a file declared, its blocks sent encrypted under
// the key handed out, committed, and read back through fresh links, each
// content kept once on disk; and what a strict node refuses.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CloudFixture.h"
#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/storage/KeyStreams.h"
#include "server/services/KssNode.h"
#include "server/storage/SqlStatement.h"

namespace servertest {
namespace {

using localcloud::KssNode;
using localcloud::KeyStreams;
namespace crypto = localcloud::crypto;

constexpr std::int64_t kNodeUser = 7001;

class KssNodeTest : public ServerTest {
 protected:
  KssNode& kss() { return server_->kss(); }

  // Declares a file of these blocks: the upload's data.
  Json begin(const std::vector<std::string>& blocks, std::int64_t user = kNodeUser) {
    std::vector<KssNode::BlockDigest> digests;
    for (const auto& block : blocks) digests.push_back({crypto::sha1Hex(block), block.size()});
    auto reply = kss().beginUpload(user, digests);
    EXPECT_EQ(reply.body["code"], 0) << reply.body.dump();
    return reply.body["data"];
  }

  // POSTs a block body to the node as the client does.
  httplib::Result upload(const std::string& query, const std::string& body,
                         const std::string& type = "application/octet-stream") {
    return client()->Post("/kss/upload_block_chunk?" + query, body, type);
  }
  static std::string metas(const Json& upload, std::size_t index) {
    return "file_meta=" + enc(upload["file_meta"]) +
           "&block_meta=" + enc(upload["block_metas"][index]["block_meta"]);
  }
  static std::string query(const Json& upload, std::size_t index) {
    return metas(upload, index) + "&chunk_pos=0";
  }
  static std::string key(const Json& data) {
    return crypto::hexDecode(data["secure_key"].get<std::string>()).value_or("");
  }
};

TEST_F(KssNodeTest, BlocksGoUpEncryptedAndComeBackThroughFreshLinks) {
  const std::vector<std::string> blocks{pattern(KssNode::kBlockSize, 1), "tail bytes"};
  Json up = begin(blocks);
  EXPECT_EQ(up["node_urls"], Json::array({server_->url() + "/kss"}));
  EXPECT_EQ(up["secure_key"].get<std::string>().size(), 32u);

  std::vector<Json> commits;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    auto sent = upload(query(up, i) + "&body_sum=12", rc4(blocks[i], key(up)));
    ASSERT_TRUE(sent);
    ASSERT_EQ(sent->status, 200) << sent->body;
    Json reply = Json::parse(sent->body);
    EXPECT_EQ(reply["stat"], "BLOCK_COMPLETED");
    commits.push_back(Json{{"commit_meta", reply["commit_meta"]}});
  }
  // A block sent again (its reply was lost) keeps its commit meta.
  auto again = upload(query(up, 0), rc4(blocks[0], key(up)));
  ASSERT_TRUE(again);
  EXPECT_EQ(Json::parse(again->body)["commit_meta"], commits[0]["commit_meta"]);

  auto committed = kss().commitUpload(kNodeUser, up["file_meta"], commits);
  ASSERT_EQ(committed.body["code"], 0) << committed.body.dump();
  const std::string fileId = committed.body["data"]["fileId"];
  EXPECT_EQ(committed.body["data"]["size"], KssNode::kBlockSize + 10);
  // The upload is spent.
  EXPECT_EQ(kss().commitUpload(kNodeUser, up["file_meta"], commits).body["code"], 404);

  // Each description has its own key and links; both stay valid.
  Json first = kss().describe(kNodeUser, fileId).body["data"];
  Json second = kss().describe(kNodeUser, fileId).body["data"];
  EXPECT_NE(first["secure_key"], second["secure_key"]);
  EXPECT_NE(key(first), key(up));
  for (const Json& description : {first, second}) {
    ASSERT_EQ(description["blocks"].size(), 2u);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const Json& block = description["blocks"][i];
      EXPECT_EQ(block["sha1"], crypto::sha1Hex(blocks[i]));
      EXPECT_EQ(block["size"], blocks[i].size());
      std::string url = block["urls"][0];
      auto got = client()->Get(url.substr(server_->url().size()));
      ASSERT_TRUE(got);
      EXPECT_EQ(rc4(got->body, key(description)), blocks[i]);
    }
  }
  // Each content once on disk, by its SHA-1; nothing left in staging.
  for (const auto& block : blocks) {
    std::string sha1 = crypto::sha1Hex(block);
    EXPECT_TRUE(std::filesystem::is_regular_file(dataDir_ / "blobs" / sha1.substr(0, 2) / sha1));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dataDir_ / "blobs" / "staging"));
  // The file is its owner's alone.
  EXPECT_EQ(kss().describe(kNodeUser + 1, fileId).body["code"], 404);
  EXPECT_EQ(client()->Get("/kss/block/nosuchlink/0")->status, 404);
}

TEST_F(KssNodeTest, BlocksInAnyOrderMakeTheFileDeclaredAndADamagedSendingStagesNothing) {
  const std::vector<std::string> blocks{pattern(KssNode::kBlockSize, 2), pattern(KssNode::kBlockSize, 3),
                                        "the last block"};
  std::string file;
  for (const auto& block : blocks) file += block;
  struct Case {
    std::vector<std::size_t> order;
    bool damagedFirst;  // a damaged sending of the first block comes before it
    bool rightFile;
    int code;
  };
  for (const Case& c : std::vector<Case>{{{0, 1, 2}, false, true, 0},
                                          {{0, 1, 2}, true, true, 0},
                                          {{0, 1, 2}, false, false, 400},
                                          {{2, 0, 1}, false, true, 0},
                                          {{1, 2, 0}, true, false, 400},
                                          {{0, 2, 1, 0}, false, true, 0}}) {
    Json up = begin(blocks);
    std::vector<Json> metas(blocks.size());
    for (std::size_t index : c.order) {
      if (c.damagedFirst && index == c.order.front()) {
        std::string damaged = rc4(blocks[index], key(up));
        damaged[damaged.size() / 2] ^= 1;
        auto refused = upload(query(up, index), damaged);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400);
      }
      auto sent = upload(query(up, index), rc4(blocks[index], key(up)));
      ASSERT_TRUE(sent);
      ASSERT_EQ(sent->status, 200) << sent->body;
      metas[index] = Json{{"commit_meta", Json::parse(sent->body)["commit_meta"]}};
    }
    const std::string declared = crypto::sha1Hex(c.rightFile ? file : file + "x");
    auto committed = kss().commitUpload(kNodeUser, up["file_meta"], metas, declared);
    EXPECT_EQ(committed.body["code"], c.code) << committed.body.dump();
    // Nothing of a sending, good or bad, stays staged past the commit.
    EXPECT_TRUE(std::filesystem::is_empty(dataDir_ / "blobs" / "staging"));
  }
}

TEST_F(KssNodeTest, RefusesWhatTheStorageWouldRefuse) {
  const std::string block = "one small block";
  Json up = begin({block});
  Json other = begin({block});
  const std::string good = rc4(block, key(up));
  struct Case {
    std::string query;
    std::string body;
    std::string type;
    int status;
    const char* stat;
  };
  const std::string otherMeta = "&block_meta=" + enc(other["block_metas"][0]["block_meta"]);
  const std::vector<Case> cases{
      {"file_meta=" + enc(up["file_meta"]) + "&chunk_pos=0", good, "", 400, "BAD_REQUEST"},
      {query(up, 0) + "&chunk_pos=1", good, "", 400, "BAD_REQUEST"},  // twice
      {metas(up, 0) + "&chunk_pos=4", good, "", 400, "BAD_REQUEST"},
      {query(up, 0) + "&body_sum=x", good, "", 400, "BAD_REQUEST"},
      {query(up, 0), good, "text/plain", 400, "BAD_REQUEST"},
      {"file_meta=nosuchupload&block_meta=x&chunk_pos=0", good, "", 404, "META_NOT_FOUND"},
      {"file_meta=" + enc(up["file_meta"]) + otherMeta + "&chunk_pos=0", good, "", 404,
       "META_NOT_FOUND"},
      {query(up, 0), rc4(block, "another key"), "", 400, "BLOCK_MISMATCH"},
      {query(up, 0), good.substr(1), "", 400, "BLOCK_MISMATCH"},
  };
  for (const Case& c : cases) {
    auto sent = c.type.empty() ? upload(c.query, c.body) : upload(c.query, c.body, c.type);
    ASSERT_TRUE(sent) << c.query;
    EXPECT_EQ(sent->status, c.status) << c.query;
    EXPECT_EQ(Json::parse(sent->body, nullptr, false).value("stat", ""), c.stat) << c.query;
  }

  // Declarations: blocks of 4 MiB but the last, 1 byte to 4 MiB each, with
  // a SHA-1 in lower-case hex.
  const std::string sha1 = crypto::sha1Hex(block);
  for (const std::vector<KssNode::BlockDigest>& digests :
       std::vector<std::vector<KssNode::BlockDigest>>{
           {},
           {{sha1, 15}, {sha1, 15}},
           {{sha1, 0}},
           {{sha1, KssNode::kBlockSize + 1}},
           {{"ABCDEF" + sha1.substr(6), 15}}}) {
    EXPECT_EQ(kss().beginUpload(kNodeUser, digests).body["code"], 400);
  }

  // A commit needs every block received and its own commit metas, in order.
  EXPECT_EQ(kss().commitUpload(kNodeUser, up["file_meta"], Json::array()).body["code"], 400);
  EXPECT_EQ(kss().commitUpload(kNodeUser, up["file_meta"], Json::array({{{"commit_meta", ""}}}))
                .body["code"],
            400);
  auto sent = upload(query(up, 0), good);
  ASSERT_TRUE(sent);
  Json commits = Json::array({{{"commit_meta", Json::parse(sent->body)["commit_meta"]}}});
  EXPECT_EQ(kss().commitUpload(kNodeUser + 1, up["file_meta"], commits).body["code"], 404);
  EXPECT_EQ(kss().commitUpload(kNodeUser, up["file_meta"], commits).body["code"], 0);

  // A user's oldest open uploads are dropped past the bound.
  for (int i = 0; i < KssNode::kMaxOpenUploadsPerUser; ++i) begin({block});
  auto dropped = upload(query(other, 0), rc4(block, key(other)));
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->status, 404);
}

TEST_F(KssNodeTest, StagedBytesCountAndWhatNoUploadOwnsGoes) {
  // Declared blocks count against the user's storage before they arrive.
  const std::string sha1 = crypto::sha1Hex("x");
  const std::vector<KssNode::BlockDigest> large(KssNode::kMaxBlocks, {sha1, KssNode::kBlockSize});
  EXPECT_EQ(kss().beginUpload(kNodeUser, large).body["code"], 0);
  EXPECT_EQ(kss().beginUpload(kNodeUser, large).body["code"], 0);
  EXPECT_EQ(kss().beginUpload(kNodeUser, {{sha1, 1}}).body["code"], KssNode::kStorageFull);
  EXPECT_EQ(kss().beginUpload(kNodeUser + 1, {{sha1, 1}}).body["code"], 0);

  // A block staged for an open upload stays across a start; a part file a
  // stopped cloud left goes, and so does an upload left for a day.
  const std::string block = "a block";
  Json kept = begin({block}, kNodeUser + 2);
  Json abandoned = begin({block}, kNodeUser + 2);
  ASSERT_EQ(upload(query(kept, 0), rc4(block, key(kept)))->status, 200);
  ASSERT_EQ(upload(query(abandoned, 0), rc4(block, key(abandoned)))->status, 200);
  ASSERT_TRUE(server_->blobs().writeAt("kss-" + kept["file_meta"].get<std::string>() + "-0-left", 0, "x"));
  {
    localcloud::Store::Access access(server_->store(), localcloud::Store::Access::Mode::Write);
    ASSERT_EQ(sqlite3_exec(access.connection().db(),
                           ("UPDATE kss_uploads SET created_at = 1 WHERE file_meta = '" +
                            abandoned["file_meta"].get<std::string>() + "'")
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  const std::size_t before = server_->blobs().stagedNames().size();
  KssNode restarted(server_->store(), server_->blobs(), [] { return 0; });
  EXPECT_EQ(server_->blobs().stagedNames().size(), before - 2);
  Json commits = Json::array({{{"commit_meta", ""}}});
  EXPECT_EQ(restarted.commitUpload(kNodeUser + 2, abandoned["file_meta"], commits).body["code"], 404);
}

// The key streams made ahead are the key's RC4 stream however their readers
// meet the maker, are held for the newest ones only, and go when dropped (a
// later block makes its stream again).
TEST(KeyStreams, MadeAheadOrCaughtUpTheyAreTheKeysStreamAndBounded) {
  constexpr std::size_t kLength = 1 << 20;
  KeyStreams streams(2);
  for (const char* meta : {"a", "b", "c"}) streams.prepare(meta, std::string("key-") + meta, kLength);
  EXPECT_EQ(streams.size(), 2u);

  std::vector<std::shared_ptr<KeyStreams::Stream>> held{
      streams.streamFor("c", "key-c", kLength), streams.streamFor("c", "key-c", kLength),
      streams.streamFor("a", "key-a", kLength)};  // "a" was pushed out: made again
  EXPECT_EQ(held[0], held[1]);
  EXPECT_EQ(streams.size(), 2u);
  std::vector<std::thread> readers;
  std::vector<char> made(held.size());  // not vector<bool>: each thread writes its own
  for (std::size_t i = 0; i < held.size(); ++i) {
    readers.emplace_back([&, i] {
      bool ok = true;
      for (std::size_t end = 4096; end <= kLength; end += 4096) ok = ok && held[i]->ensure(end);
      made[i] = ok;
    });
  }
  for (auto& reader : readers) reader.join();
  for (std::size_t i = 0; i < held.size(); ++i) {
    ASSERT_TRUE(made[i]);
    std::string expected(kLength, '\0');  // the key's RC4 over zeros
    ASSERT_TRUE(crypto::Rc4Stream(held[i]->key()).applyInPlace(expected.data(), expected.size()));
    EXPECT_EQ(held[i]->bytes(), expected);
  }
  EXPECT_FALSE(held[0]->ensure(kLength + 1));

  // Another key or a longer block is never served a stream that does not fit.
  EXPECT_NE(streams.streamFor("c", "key-x", kLength), held[0]);
  EXPECT_NE(streams.streamFor("a", "key-a", kLength + 1), held[2]);
  streams.drop("c");
  streams.drop("a");
  EXPECT_EQ(streams.size(), 0u);
  EXPECT_FALSE(KeyStreams::Stream("", 16).ensure(1));
}

}  // namespace
}  // namespace servertest
