// Content-addressed file storage of the local cloud under the data
// directory: each stored file (a "blob") lies once, however many owners
// name it, at DIR/blobs/<first two hex digits>/<SHA-1 hex>. Uploads are
// staged piece by piece under a name of the caller's
// (DIR/blobs/staging/<name>) and then moved into place, their digest
// checked on the way; blobs are read back piece by piece. Nothing is held
// in memory beyond the piece being written or read. Blocks of the block
// storage can be kept the same way (they too are named by their SHA-1).
//
// Ownership: owned by the service that uses it (FileService). Threading:
// safe from any thread for different staging names; one staging name is
// written by one thread at a time (the caller's lock). A blob, once in
// place, never changes; two commits of the same content both succeed.
// Failures: false / nullopt / CommitResult::Failed; nothing throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace localcloud {

namespace crypto {
class Sha1Stream;
}

class BlobStore {
 public:
  enum class CommitResult { Stored, Mismatch, Failed };

  // Creates `root` and its staging directory when missing.
  explicit BlobStore(std::filesystem::path root);

  // Writes `bytes` at `offset` of the staged upload `name` (a file-name
  // safe token), cutting off whatever it held from there on.
  bool writeAt(const std::string& name, std::uint64_t offset, std::string_view bytes);
  // Moves the staged upload into the store when its SHA-1 is `sha1` (40
  // lower-case hex digits); *size gets its length, and `alsoInto` (when
  // given) its bytes. Mismatch: the staged bytes are dropped.
  CommitResult commit(const std::string& name, const std::string& sha1, std::uint64_t* size,
                      crypto::Sha1Stream* alsoInto = nullptr);
  // Moves a staged upload whose content the caller has already checked to
  // be `sha1` into the store, without reading it again.
  bool place(const std::string& name, const std::string& sha1);
  // Drops a staged upload (nothing when there is none).
  void discard(const std::string& name);
  // The names of the staged uploads there are.
  std::vector<std::string> stagedNames() const;
  // Renames the staged upload `from` to `to`, replacing what `to` held.
  bool rename(const std::string& from, const std::string& to);

  // Sequential writing of a new staged upload (replacing one of the same
  // name); the file is closed when the writer goes.
  class Writer {
   public:
    Writer() = default;
    Writer(Writer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Writer& operator=(Writer&&) = delete;
    ~Writer();
    bool ok() const { return fd_ >= 0; }
    bool write(const char* data, std::size_t size);

   private:
    friend class BlobStore;
    int fd_ = -1;
  };
  Writer create(const std::string& name);

  bool has(const std::string& sha1) const;
  // Feeds a blob's bytes to `digest`; false when it cannot be read.
  bool digest(const std::string& sha1, crypto::Sha1Stream& digest) const;
  // True for 40 lower-case hexadecimal digits: the name of a blob.
  static bool isBlobName(const std::string& text);

  // Sequential reading of one blob.
  class Reader {
   public:
    bool ok() const { return in_.good(); }
    // The next up to `maxBytes` bytes; "" at the end; nullopt on a read
    // error.
    std::optional<std::string> read(std::size_t maxBytes);
    // The same into `buffer`: the count, 0 at the end.
    std::optional<std::size_t> readInto(char* buffer, std::size_t maxBytes);
    bool seek(std::uint64_t offset);

   private:
    friend class BlobStore;
    std::ifstream in_;
  };
  Reader open(const std::string& sha1) const;

 private:
  std::filesystem::path blobPath(const std::string& sha1) const;
  std::filesystem::path stagingPath(const std::string& name) const;

  const std::filesystem::path root_;
};

}  // namespace localcloud
