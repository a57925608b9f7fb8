#include "server/services/KssNode.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "server/http/BlobReply.h"
#include "server/storage/BlockIntake.h"
#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

constexpr const char* kStatCompleted = "BLOCK_COMPLETED";
constexpr const char* kStatBadRequest = "BAD_REQUEST";
constexpr const char* kStatNotFound = "META_NOT_FOUND";
constexpr const char* kStatMismatch = "BLOCK_MISMATCH";
constexpr const char* kStatStorage = "STORAGE_ERROR";

void replyStat(httplib::Response& res, int status, const char* stat, const std::string& message) {
  res.status = status;
  res.set_content(Json{{"stat", stat}, {"msg", message}}.dump(), "application/json");
}

// The one value of a query parameter; nullopt when it is missing or sent
// more than once.
std::optional<std::string> single(const httplib::Request& req, const char* name) {
  if (req.get_param_value_count(name) != 1) return std::nullopt;
  return req.get_param_value(name);
}

SignedReply refused(int code, const std::string& text) { return SignedReply::error(code, text); }

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

KssNode::KssNode(Store& store, BlobStore& blobs, std::function<int()> port)
    : files_(store), blobs_(blobs), port_(std::move(port)) {
  expireUploads();
  cleanStaging();
}

void KssNode::registerOn(httplib::Server& server) {
  const std::string node = kNodePath;
  server.Post(node + "/upload_block_chunk",
              [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body) {
                uploadBlock(req, res, body);
              });
  server.Get(node + "/block/([A-Za-z0-9_-]{1,64})/([0-9]{1,6})",
             std::bind_front(&KssNode::serveBlock, this));
}

std::string KssNode::nodeUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_()) + kNodePath;
}

std::mutex& KssNode::uploadLock(const std::string& fileMeta) {
  return uploadLocks_[std::hash<std::string>{}(fileMeta) % uploadLocks_.size()];
}

std::string KssNode::stagingName(const std::string& fileMeta, std::int64_t index) {
  return "kss-" + fileMeta + "-" + std::to_string(index);
}

SignedReply KssNode::beginUpload(std::int64_t userId, const std::vector<BlockDigest>& blocks) {
  if (blocks.empty() || blocks.size() > kMaxBlocks) {
    return refused(cloudcode::kBadRequest, "a file has 1 to 512 blocks");
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const bool last = i + 1 == blocks.size();
    if (!BlobStore::isBlobName(blocks[i].sha1) ||
        (last ? blocks[i].size == 0 || blocks[i].size > kBlockSize : blocks[i].size != kBlockSize)) {
      return refused(cloudcode::kBadRequest,
                     "blocks are 4 MiB, the last 1 byte to 4 MiB, each with its SHA-1");
    }
  }
  expireUploads();
  {
    // What the user stores and what the open uploads stage count together.
    std::uint64_t size = 0;
    for (const BlockDigest& block : blocks) size += block.size;
    auto held = files_.bytesHeldAndStaged(userId);
    if (!held) return refused(cloudcode::kServerError, "cannot read the files");
    if (static_cast<std::uint64_t>(*held) + size > kMaxBytesPerUser) {
      return refused(kStorageFull, "the block storage is full");
    }
  }
  const std::string fileMeta = crypto::randomToken(18);
  const std::string rawKey = crypto::randomBytes(16);
  const std::string secureKey = crypto::hexEncode(rawKey);
  std::vector<std::pair<std::string, std::int64_t>> declared;
  for (const BlockDigest& block : blocks) declared.emplace_back(block.sha1, static_cast<std::int64_t>(block.size));
  // A block the user holds already (in a stored file) is not sent again:
  // its commit meta is handed out with the upload.
  auto offered = files_.addUpload(userId, fileMeta, secureKey, nowSeconds(), declared,
                                  [this](const std::string& sha1) { return blobs_.has(sha1); });
  if (!offered) return refused(cloudcode::kServerError, "cannot store the upload");
  Json blockMetas = Json::array();
  bool toSend = false;
  for (const auto& block : *offered) {
    Json meta{{"block_meta", block.blockMeta}, {"is_existed", !block.commitMeta.empty()}};
    if (block.commitMeta.empty()) {
      toSend = true;
    } else {
      meta["commit_meta"] = block.commitMeta;
    }
    blockMetas.push_back(std::move(meta));
  }
  trimUploads(userId);
  // The first block is the longest.
  if (toSend) {
    keyStreams_.prepare(fileMeta, rawKey, static_cast<std::size_t>(blocks[0].size));
  }
  return SignedReply::ok(Json{{"file_meta", fileMeta},
                              {"block_metas", std::move(blockMetas)},
                              {"secure_key", secureKey},
                              {"node_urls", Json::array({nodeUrl()})}});
}

void KssNode::uploadBlock(const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& body) {
  // A refused block's body is read all the same (and dropped), so that the
  // connection can carry the next request.
  auto refuse = [&](int status, const char* stat, const std::string& message) {
    body([](const char*, std::size_t) { return true; });
    replyStat(res, status, stat, message);
  };
  auto fileMeta = single(req, "file_meta");
  auto blockMeta = single(req, "block_meta");
  auto chunkPos = single(req, "chunk_pos");
  if (!fileMeta || !blockMeta || !crypto::isToken(*fileMeta) || !crypto::isToken(*blockMeta)) {
    return refuse(400, kStatBadRequest, "file_meta and block_meta are needed once each");
  }
  if (chunkPos != std::string("0")) {
    return refuse(400, kStatBadRequest, "a block goes whole: chunk_pos must be 0");
  }
  if (req.has_param("body_sum") &&
      (req.get_param_value_count("body_sum") != 1 || !http::decimal(req.get_param_value("body_sum")))) {
    return refuse(400, kStatBadRequest, "body_sum must be a decimal number");
  }
  if (req.get_header_value("Content-Type") != "application/octet-stream") {
    return refuse(400, kStatBadRequest, "the block goes as application/octet-stream");
  }

  auto target = files_.uploadTarget(*fileMeta, *blockMeta);
  if (!target) return refuse(404, kStatNotFound, "no such upload or block");
  const std::string key = crypto::hexDecode(target->secureKey).value_or("");
  KssFileStore::Block& block = target->block;
  const std::int64_t blockCount = target->blockCount;
  if (req.has_header("Content-Length") &&
      req.get_header_value("Content-Length") != std::to_string(block.size)) {
    return refuse(400, kStatMismatch, "the block's length is not the one declared");
  }

  // The body is taken in as it arrives, into a staged file of this sending
  // alone; only a block found right replaces the block's staged file.
  const std::string partName = stagingName(*fileMeta, block.index) + "-" + crypto::randomToken(9);
  // A file of one block needs no running digest: its block's is the file's.
  const bool several = blockCount > 1;
  // Every block restarts the upload's key stream: it is made once, ahead.
  BlockIntake intake(blobs_, partName,
                     keyStreams_.streamFor(*fileMeta, key, static_cast<std::size_t>(block.size)),
                     static_cast<std::uint64_t>(block.size),
                     several ? runningDigestFor(*fileMeta, block.index) : nullptr);
  body([&intake](const char* data, std::size_t size) { return intake.take(data, size); });
  auto taken = intake.finish();
  if (!taken) {
    blobs_.discard(partName);
    return replyStat(res, 500, kStatStorage, "cannot store the block");
  }
  if (taken->size != static_cast<std::uint64_t>(block.size)) {
    blobs_.discard(partName);
    return replyStat(res, 400, kStatMismatch, "the block's length is not the one declared");
  }
  if (taken->sha1 != block.sha1) {
    blobs_.discard(partName);
    return replyStat(res, 400, kStatMismatch, "the block's SHA-1 is not the one declared");
  }

  std::lock_guard lock(uploadLock(*fileMeta));
  // Read again under the lock: the upload may have gone meanwhile, or
  // another sending of the block given it its commit meta.
  auto commitMeta = files_.commitMetaOf(*fileMeta, block.index);
  if (!commitMeta) {
    blobs_.discard(partName);
    return replyStat(res, 404, kStatNotFound, "no such upload or block");
  }
  block.commitMeta = std::move(*commitMeta);
  if (!blobs_.rename(partName, stagingName(*fileMeta, block.index))) {
    blobs_.discard(partName);
    return replyStat(res, 500, kStatStorage, "cannot store the block");
  }
  if (block.commitMeta.empty()) {
    block.commitMeta = crypto::randomToken(12);
    if (!files_.setCommitMeta(*fileMeta, block.index, block.commitMeta)) {
      return replyStat(res, 500, kStatStorage, "cannot store the block");
    }
  }
  if (taken->running) keepRunningDigest(*fileMeta, block.index, std::move(taken->running));
  res.set_content(Json{{"stat", kStatCompleted}, {"commit_meta", block.commitMeta}}.dump(),
                  "application/json");
}

SignedReply KssNode::commitUpload(std::int64_t userId, const std::string& fileMeta,
                                  const Json& commitMetas, const std::string& fileSha1) {
  if (!crypto::isToken(fileMeta)) return refused(cloudcode::kBadRequest, "file_meta is malformed");
  std::lock_guard lock(uploadLock(fileMeta));
  std::vector<KssFileStore::Block> blocks = files_.uploadBlocks(userId, fileMeta);
  if (blocks.empty()) return refused(cloudcode::kNotFound, "no such upload");
  bool matches = commitMetas.is_array() && commitMetas.size() == blocks.size();
  std::int64_t size = 0;
  for (std::size_t i = 0; matches && i < blocks.size(); ++i) {
    const Json& item = commitMetas[i];
    matches = !blocks[i].commitMeta.empty() && item.is_object() &&
              item.value("commit_meta", Json()) == blocks[i].commitMeta;
    size += blocks[i].size;
  }
  if (!matches) {
    return refused(cloudcode::kBadRequest, "the commit metas are not those of the received blocks");
  }
  auto usage = files_.usage(userId);
  if (!usage) return refused(cloudcode::kServerError, "cannot read the files");
  if (usage->first >= kMaxFilesPerUser || static_cast<std::uint64_t>(usage->second + size) > kMaxBytesPerUser) {
    return refused(kStorageFull, "the block storage is full");
  }
  // The blocks go into the store (a content there already is kept once).
  // Every staged block was found to be its declared content when it came
  // in, so it moves unread unless the whole file's digest needs its bytes:
  // a file of one block is the file declared when its block's SHA-1 is the
  // file's, and the blocks that came in order were digested as they came
  // (the digest goes on from them).
  const bool digestWhole = !fileSha1.empty() && blocks.size() > 1;
  std::optional<RunningDigest> carried = takeRunningDigest(fileMeta);
  if (carried && !carried->digest) carried.reset();
  crypto::Sha1Stream fresh;
  crypto::Sha1Stream& whole = carried ? *carried->digest : fresh;
  for (const KssFileStore::Block& block : blocks) {
    const std::string staged = stagingName(fileMeta, block.index);
    const bool digested = !digestWhole || (carried && block.index < carried->next);
    bool stored = true;
    if (blobs_.has(block.sha1)) {
      if (!digested && !blobs_.digest(block.sha1, whole)) {
        return refused(cloudcode::kServerError, "cannot read the blocks");
      }
      blobs_.discard(staged);
    } else if (digested) {
      stored = blobs_.place(staged, block.sha1);
    } else {
      stored = blobs_.commit(staged, block.sha1, nullptr, &whole) == BlobStore::CommitResult::Stored;
    }
    if (!stored) return refused(cloudcode::kServerError, "cannot store the blocks");
  }
  const bool declared = fileSha1.empty() || (digestWhole ? whole.finishHex() : blocks[0].sha1) == fileSha1;
  if (!declared) {
    // Each block is right, the whole is not the file declared: the upload
    // can never be committed. (Its blocks stay in the store unowned: they
    // count for no user.)
    dropUpload(fileMeta, static_cast<std::int64_t>(blocks.size()));
    return refused(cloudcode::kBadRequest, "the blocks do not make the file declared");
  }
  const std::string fileId = crypto::randomToken(12);
  if (!files_.commitUpload(fileMeta, fileId, userId, size, blocks)) {
    return refused(cloudcode::kServerError, "cannot store the file");
  }
  keyStreams_.drop(fileMeta);
  return SignedReply::ok(Json{{"fileId", fileId}, {"size", size}});
}

std::optional<std::vector<KssNode::BlockDigest>> KssNode::blocksOf(std::int64_t userId,
                                                                   const std::string& fileId) {
  std::vector<BlockDigest> blocks;
  for (const auto& block : files_.fileBlocks(userId, fileId)) {
    blocks.push_back(BlockDigest{block.sha1, static_cast<std::uint64_t>(block.size)});
  }
  if (blocks.empty()) return std::nullopt;
  return blocks;
}

bool KssNode::dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds) {
  if (fileIds.empty()) return true;
  return files_.dropFiles(userId, fileIds);
}

SignedReply KssNode::describe(std::int64_t userId, const std::string& fileId) {
  if (!crypto::isToken(fileId)) return refused(cloudcode::kBadRequest, "fileId is malformed");
  Json blocks = Json::array();
  const std::string token = crypto::randomToken(18);
  for (const auto& block : files_.fileBlocks(userId, fileId)) {
    if (!blobs_.has(block.sha1)) return refused(cloudcode::kServerError, "the file is lost");
    std::string url = nodeUrl() + "/block/" + token + "/" + std::to_string(block.index);
    blocks.push_back(Json{{"urls", Json::array({url})}, {"sha1", block.sha1}, {"size", block.size}});
  }
  if (blocks.empty()) return refused(cloudcode::kNotFound, "no such file");
  const std::string secureKey = crypto::hexEncode(crypto::randomBytes(16));
  if (!files_.addLink(token, userId, fileId, secureKey, kMaxLinksPerUser)) {
    return refused(cloudcode::kServerError, "cannot make a download link");
  }
  return SignedReply::ok(Json{{"blocks", std::move(blocks)}, {"secure_key", secureKey}});
}

void KssNode::serveBlock(const httplib::Request& req, httplib::Response& res) {
  auto linked = files_.linkedBlock(std::string(req.matches[1]), static_cast<std::int64_t>(std::stoll(req.matches[2])));
  if (!linked) return http::replyText(res, 404, "no such block");
  const std::string key = crypto::hexDecode(linked->secureKey).value_or("");
  const std::string& sha1 = linked->sha1;
  const auto size = static_cast<std::uint64_t>(linked->size);
  // Every block of a download restarts the key's stream: it is made once.
  if (!replyWithKeyStream(res, blobs_, sha1, size, keyStreams_.streamFor(key, key, kBlockSize))) {
    http::replyText(res, 500, "the block cannot be read");
  }
}

std::unique_ptr<crypto::Sha1Stream> KssNode::runningDigestFor(const std::string& fileMeta,
                                                              std::int64_t index) {
  std::lock_guard lock(runningMutex_);
  auto found = running_.find(fileMeta);
  if (found == running_.end()) {
    return index == 0 ? std::make_unique<crypto::Sha1Stream>() : nullptr;
  }
  if (found->second.next != index) return nullptr;
  return std::make_unique<crypto::Sha1Stream>(*found->second.digest);
}

void KssNode::keepRunningDigest(const std::string& fileMeta, std::int64_t index,
                                std::unique_ptr<crypto::Sha1Stream> digest) {
  std::lock_guard lock(runningMutex_);
  auto found = running_.find(fileMeta);
  const std::int64_t expected = found == running_.end() ? 0 : found->second.next;
  if (index != expected) return;  // another sending of the block came first
  if (found == running_.end()) {
    // Bounded: a digest given up only costs its commit a reading.
    if (running_.size() >= kMaxRunningDigests) running_.erase(running_.begin());
    found = running_.emplace(fileMeta, RunningDigest{}).first;
  }
  found->second = RunningDigest{index + 1, std::move(digest)};
}

std::optional<KssNode::RunningDigest> KssNode::takeRunningDigest(const std::string& fileMeta) {
  std::lock_guard lock(runningMutex_);
  auto found = running_.find(fileMeta);
  if (found == running_.end()) return std::nullopt;
  RunningDigest taken = std::move(found->second);
  running_.erase(found);
  return taken;
}

void KssNode::dropUpload(const std::string& fileMeta, std::int64_t blockCount) {
  takeRunningDigest(fileMeta);
  keyStreams_.drop(fileMeta);
  files_.dropUpload(fileMeta);
  for (std::int64_t i = 0; i < blockCount; ++i) blobs_.discard(stagingName(fileMeta, i));
}

void KssNode::expireUploads() {
  const auto cutoff = nowSeconds() - std::chrono::seconds(kUploadLifetime).count();
  for (const auto& [fileMeta, blockCount] : files_.uploadsBefore(cutoff)) {
    std::lock_guard lock(uploadLock(fileMeta));
    dropUpload(fileMeta, blockCount);
  }
}

void KssNode::cleanStaging() {
  std::set<std::string> kept;
  for (const auto& [fileMeta, index] : files_.stagedBlocks()) kept.insert(stagingName(fileMeta, index));
  for (const std::string& name : blobs_.stagedNames()) {
    if (name.rfind("kss-", 0) == 0 && kept.count(name) == 0) blobs_.discard(name);
  }
}

void KssNode::trimUploads(std::int64_t userId) {
  const auto dropped = files_.uploadsBeyond(userId, kMaxOpenUploadsPerUser);
  for (const auto& [fileMeta, blockCount] : dropped) {
    std::lock_guard lock(uploadLock(fileMeta));
    dropUpload(fileMeta, blockCount);
  }
}

}  // namespace localcloud
