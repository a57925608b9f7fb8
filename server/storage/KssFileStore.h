// The block storage node's records in the Store's database: open uploads
// with their declared blocks (and the commit meta each block got once it
// was received), stored files with their blocks in order, and download
// links. The blocks' bytes are not here: they are in the BlobStore.
//
// Ownership: owned by the KssNode; borrows the Store. Threading: safe from
// any thread; each change runs under the Store's writing connection, the
// multi-row ones in one transaction. Failures: false / nullopt; nothing
// throws.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/storage/Store.h"

namespace localcloud {

class KssFileStore {
 public:
  // A block of an upload or a stored file, in file order.
  struct Block {
    std::int64_t index = 0;
    std::string sha1;
    std::int64_t size = 0;
    std::string commitMeta;  // an upload's block: empty until received
  };
  // An upload's block as handed to the client.
  struct OfferedBlock {
    std::string blockMeta;
    std::string commitMeta;  // empty: the block must be sent
  };
  // What a sending of one block needs to know.
  struct UploadTarget {
    std::string secureKey;  // hex
    Block block;
    std::int64_t blockCount = 0;
  };
  // One block behind a download link.
  struct LinkedBlock {
    std::string secureKey;  // hex
    std::string sha1;
    std::int64_t size = 0;
  };

  // Creates the tables (a failure is the Store's schema error).
  explicit KssFileStore(Store& store);

  // Stores a new upload of the user, begun at `createdAt` (seconds since
  // the epoch), and its blocks (sha1, size) in one transaction. A block whose content a stored file of the user holds,
  // and that `inBlobs` confirms, gets its commit meta at once. The offered
  // blocks in order; nullopt when storing failed.
  std::optional<std::vector<OfferedBlock>> addUpload(
      std::int64_t userId, const std::string& fileMeta, const std::string& secureKey, std::int64_t createdAt,
      const std::vector<std::pair<std::string, std::int64_t>>& blocks,
      const std::function<bool(const std::string& sha1)>& inBlobs);
  // The upload's block of that block meta; nullopt when unknown.
  std::optional<UploadTarget> uploadTarget(const std::string& fileMeta, const std::string& blockMeta);
  // The block's commit meta now (empty until received); nullopt when the
  // upload or block is gone.
  std::optional<std::string> commitMetaOf(const std::string& fileMeta, std::int64_t index);
  bool setCommitMeta(const std::string& fileMeta, std::int64_t index, const std::string& commitMeta);
  // The blocks of the user's upload in order; empty when unknown.
  std::vector<Block> uploadBlocks(std::int64_t userId, const std::string& fileMeta);
  // The user's stored files: (count, bytes); nullopt when unreadable.
  std::optional<std::pair<std::int64_t, std::int64_t>> usage(std::int64_t userId);
  // The upload becomes the file `fileId` of these blocks, in one
  // transaction.
  bool commitUpload(const std::string& fileMeta, const std::string& fileId, std::int64_t userId,
                    std::int64_t size, const std::vector<Block>& blocks);
  void dropUpload(const std::string& fileMeta);
  // The user's uploads past the newest `keep`: (file meta, block count).
  std::vector<std::pair<std::string, std::int64_t>> uploadsBeyond(std::int64_t userId, int keep);

  // The uploads begun before `time`: (file meta, block count).
  std::vector<std::pair<std::string, std::int64_t>> uploadsBefore(std::int64_t time);
  // Every open upload's declared block: (file meta, index).
  std::vector<std::pair<std::string, std::int64_t>> stagedBlocks();
  // The bytes of the user's stored files and of the blocks its open
  // uploads declared; nullopt when unreadable.
  std::optional<std::int64_t> bytesHeldAndStaged(std::int64_t userId);

  // The blocks of the user's stored file in order; empty when unknown.
  std::vector<Block> fileBlocks(std::int64_t userId, const std::string& fileId);
  // See KssNode::dropFiles.
  bool dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds);

  // A new link to the file; the user's links past the newest `keep` go.
  bool addLink(const std::string& token, std::int64_t userId, const std::string& fileId,
               const std::string& secureKey, int keep);
  std::optional<LinkedBlock> linkedBlock(const std::string& token, std::int64_t index);

 private:
  Store& store_;
};

}  // namespace localcloud
