// A file through the local cloud's block storage node and the client's
// storage helper: uploaded block by block under the key the node hands
// out, committed, then downloaded block by block, decrypted and checked,
// into a file of the caches directory and into memory; a block whose stored
// bytes were damaged fails after its retries; an address that fails gives
// way to the next.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cloud/kss/LMKssDescription.h"
#include "cloud/kss/LMKssFileHelper.h"
#include "platform/Bytes.h"
#include "server/CloudServer.h"
#include "server/services/KssNode.h"
#include "support/TestHome.h"
#include "utils/LMUtils.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace {

using lumora::LMKssFileHelper;
using platform::Bytes;
using platform::Json;

constexpr std::int64_t kUser = 4401;
constexpr std::size_t kKssBlock = 4 * 1024 * 1024;

class KssTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dataDir_ = home_.root() / "cloud";
    server_ = localcloud::CloudServer::create(dataDir_);
    ASSERT_TRUE(server_ && server_->start(0));
  }

  // Stores `data` as a node client does: declares its blocks, sends each
  // RC4-encrypted under the key handed out, commits. The file id.
  std::string store(const Bytes& data) {
    std::vector<localcloud::KssNode::BlockDigest> digests;
    std::vector<Bytes> blocks;
    for (std::size_t at = 0; at < data.size(); at += kKssBlock) {
      blocks.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                          data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + kKssBlock)));
      digests.push_back({lumora::sha1String(blocks.back()), blocks.back().size()});
    }
    Json upload = server_->kss().beginUpload(kUser, digests).body["data"];
    const Bytes key = *platform::hexData(upload["secure_key"].get<std::string>());
    Json commits = Json::array();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      LMKssFileHelper::uploadKSSBlockUrl(
          upload["node_urls"][0], *lumora::rc4DataWithKey(blocks[i], key), upload["file_meta"],
          upload["block_metas"][i]["block_meta"], nullptr, nullptr,
          [&commits](const auto& meta, const auto& error) {
            EXPECT_FALSE(error) << error->description();
            commits.push_back(Json{{"commit_meta", meta.value_or(nullptr)}});
          });
    }
    auto committed = server_->kss().commitUpload(kUser, upload["file_meta"], commits);
    EXPECT_EQ(committed.body["code"], 0) << committed.body.dump();
    return committed.body["data"].value("fileId", "");
  }
  Json describe(const std::string& fileId) { return server_->kss().describe(kUser, fileId).body["data"]; }

  struct Download {
    std::optional<LMKssFileHelper::FileResult> result;
    std::optional<platform::Error> error;
    std::int64_t lastProgress = 0;
  };
  static Download download(const Json& kss, const std::optional<std::string>& fileName) {
    Download out;
    LMKssFileHelper::downloadKssFileWithKSS(
        kss, fileName, [&out](std::int64_t, std::int64_t soFar, std::int64_t) { out.lastProgress = soFar; },
        [&out](const auto& result, const auto& error) {
          out.result = result;
          out.error = error;
        });
    return out;
  }

  testsupport::TestHome home_;
  std::filesystem::path dataDir_;
  std::unique_ptr<localcloud::CloudServer> server_;
};

Bytes sample(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  return bytes;
}

TEST_F(KssTransferTest, TwoFullBlocksAndOneByteComeBackDecryptedAndChecked) {
  const Bytes data = sample(2 * kKssBlock + 1);
  const std::string fileId = store(data);
  Json kss = describe(fileId);
  ASSERT_EQ(kss["blocks"].size(), 3u);
  EXPECT_EQ(kss["blocks"][2]["size"], 1);

  Download toFile = download(kss, std::string("photo.bin"));
  ASSERT_FALSE(toFile.error) << toFile.error->description();
  const std::string path = std::get<std::string>(*toFile.result);
  EXPECT_EQ(std::filesystem::path(path).parent_path(),
            lumora::LMUtils::imageTransferDirectory());
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == data);
  EXPECT_EQ(toFile.lastProgress, static_cast<std::int64_t>(data.size()));

  Download inMemory = download(describe(fileId), std::nullopt);
  ASSERT_FALSE(inMemory.error);
  EXPECT_TRUE(std::get<Bytes>(*inMemory.result) == data);

  // An address that fails (nothing listens there) gives way to the next.
  kss["blocks"][1]["urls"] = Json::array({"http://127.0.0.1:1/kss/block/x/1", kss["blocks"][1]["urls"][0]});
  Download rotated = download(kss, std::nullopt);
  ASSERT_FALSE(rotated.error) << rotated.error->description();
  EXPECT_TRUE(std::get<Bytes>(*rotated.result) == data);
}

TEST_F(KssTransferTest, ADamagedBlockFailsAfterItsRetries) {
  const Bytes data = sample(kKssBlock + 4096);
  const std::string fileId = store(data);
  // Damage the second block where the node keeps it.
  const std::string sha1 = lumora::sha1String(Bytes(data.begin() + kKssBlock, data.end()));
  {
    std::fstream blob(dataDir_ / "blobs" / sha1.substr(0, 2) / sha1,
                      std::ios::binary | std::ios::in | std::ios::out);
    blob.seekp(100);
    blob.put('\x5a' ^ static_cast<char>(data[kKssBlock + 100]));
  }
  Download got = download(describe(fileId), std::string("photo.bin"));
  ASSERT_TRUE(got.error);
  EXPECT_EQ(got.error->userInfo()["reason"], lumora::kLMKssReasonWrongBlock);
  EXPECT_FALSE(got.result);
  // Only the checked first block was taken.
  EXPECT_EQ(std::filesystem::file_size(lumora::LMUtils::imageTransferDirectory() /
                                       "photo.bin"),
            kKssBlock);
  EXPECT_LE(got.lastProgress, static_cast<std::int64_t>(data.size()));
}

}  // namespace
