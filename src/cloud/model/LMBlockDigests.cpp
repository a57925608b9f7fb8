#include "cloud/model/LMBlockDigests.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "utils/Digest.h"
#include "utils/DigestContext.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"

namespace lumora {
namespace {

using platform::Json;

// Digests blocks in file order: the whole-file SHA-1 on the caller's thread,
// each block's SHA-1 and MD5 at once on one of kLanes pairs of helper
// queues, so that up to kLanes blocks are digested at once. A lane's buffer
// is reused once its previous block is done. A file known to be one block
// at most takes its whole-file SHA-1 from the block's.
class BlockDigester {
 public:
  static constexpr std::size_t kLanes = 3;

  explicit BlockDigester(bool atMostOneBlock) : wholeFromBlock_(atMostOneBlock) {}

  // A buffer to fill with the next block (waits for the lane to be free).
  platform::Bytes& nextBuffer() {
    Lane& lane = laneFor(count_);
    lane.settle();
    if (lane.buffer.size() < static_cast<std::size_t>(kLMBlockSize)) lane.buffer.resize(kLMBlockSize);
    return lane.buffer;
  }

  // Digests the next block, held in `data` (a lane's buffer or the caller's
  // memory, which must stay untouched until finish()).
  void add(const std::uint8_t* data, std::size_t size) {
    Lane& lane = laneFor(count_);
    lane.settle();  // a block of memory: wait for the lane's last block
    const std::size_t index = count_++;
    {
      // Lanes still write earlier slots; growing the list moves them.
      std::lock_guard<std::mutex> guard(mutex_);
      infos_.push_back({{"sha1", ""}, {"md5", ""}, {"size", static_cast<std::int64_t>(size)}});
    }
    lane.pending = 2;
    auto digest = [this, &lane, data, size, index](DigestKind kind, const char* key) {
      std::string hex = platform::hexString(digestOf(kind, data, size));
      {
        std::lock_guard<std::mutex> guard(mutex_);
        infos_[index][key] = std::move(hex);
      }
      lane.done.signal();
    };
    lane.sha1.async([digest] { digest(DigestKind::SHA1, "sha1"); });
    lane.md5.async([digest] { digest(DigestKind::MD5, "md5"); });
    if (!wholeFromBlock_) whole_.update(data, size);
  }

  LMBlockDigests finish() {
    settleAll();
    LMBlockDigests result;
    std::lock_guard<std::mutex> guard(mutex_);
    result.sha1 = wholeFromBlock_ && infos_.size() == 1 ? infos_[0]["sha1"].get<std::string>()
                                                        : platform::hexString(whole_.finish());
    for (auto& info : infos_) result.blockInfos.push_back(std::move(info));
    return result;
  }

  ~BlockDigester() {
    // Never leave a lane working on a buffer that is about to go.
    settleAll();
  }

 private:
  struct Lane {
    platform::SerialQueue sha1{"lumora.digest.block"};
    platform::SerialQueue md5{"lumora.digest.block"};
    platform::Semaphore done;
    platform::Bytes buffer;
    int pending = 0;  // digests of the lane's block still running

    void settle() {
      for (; pending > 0; --pending) done.wait();
    }
  };
  // The lane of the block at `index`, started when first needed (a file of
  // one block starts one lane only).
  Lane& laneFor(std::size_t index) {
    auto& lane = lanes_[index % kLanes];
    if (!lane) lane = std::make_unique<Lane>();
    return *lane;
  }
  void settleAll() {
    for (auto& lane : lanes_) {
      if (lane) lane->settle();
    }
  }

  const bool wholeFromBlock_;
  DigestContext whole_{DigestKind::SHA1};
  std::array<std::unique_ptr<Lane>, kLanes> lanes_;
  std::mutex mutex_;
  std::vector<Json> infos_;
  std::size_t count_ = 0;
};

}  // namespace

LMBlockDigests digestBlocksOfData(const platform::Bytes& data, const std::function<void()>& meanwhile) {
  BlockDigester digester(data.size() <= static_cast<std::size_t>(kLMBlockSize));
  for (std::size_t offset = 0; offset < data.size(); offset += kLMBlockSize) {
    digester.add(data.data() + offset, std::min<std::size_t>(kLMBlockSize, data.size() - offset));
  }
  if (meanwhile) meanwhile();
  LMBlockDigests digests = digester.finish();
  digests.size = static_cast<std::int64_t>(data.size());
  return digests;
}

namespace {

// Reads the file block by block into the digester. With a size, the file
// must hold that many bytes; without one it is read to its end, and at the
// end `more` decides whether to look again.
platform::Result<LMBlockDigests> readAndDigest(int fd, const std::string& name, std::optional<std::int64_t> size,
                                               const std::function<bool()>& more) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  BlockDigester digester(size && *size <= kLMBlockSize);
  std::int64_t offset = 0;
  bool atEnd = false;
  while (!atEnd && (!size || offset < *size)) {
    const auto length = static_cast<std::size_t>(size ? std::min<std::int64_t>(kLMBlockSize, *size - offset)
                                                       : kLMBlockSize);
    platform::Bytes& buffer = digester.nextBuffer();
    std::size_t filled = 0;
    while (filled < length) {
      const ssize_t got = ::read(fd, buffer.data() + filled, length - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return platform::posixError(errno, "Cannot read " + name);
      if (got == 0) {
        if (size) return platform::posixError(EIO, name + " ended early");
        if (more && more()) continue;
        atEnd = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    if (filled > 0) digester.add(buffer.data(), filled);
    offset += static_cast<std::int64_t>(filled);
  }
  LMBlockDigests digests = digester.finish();
  digests.size = offset;
  return digests;
}

// Opens the file (waiting, through `more`, for one not there yet) and
// digests it.
platform::Result<LMBlockDigests> openAndDigest(const std::filesystem::path& file, std::optional<std::int64_t> size,
                                               const std::function<bool()>& more) {
  const std::string name = file.filename().string();
  int fd;
  while ((fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno == EINTR) continue;
    const int failure = errno;
    if (failure != ENOENT || !more || !more()) return platform::posixError(failure, "Cannot open " + name);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  return readAndDigest(fd, name, size, more);
}

}  // namespace

platform::Result<LMBlockDigests> digestBlocksOfFile(const std::filesystem::path& file, std::int64_t size) {
  return openAndDigest(file, std::max<std::int64_t>(size, 0), nullptr);
}

platform::Result<LMBlockDigests> digestBlocksOfOpenFile(int fd, const std::string& name, std::int64_t size) {
  return readAndDigest(fd, name, std::max<std::int64_t>(size, 0), nullptr);
}

platform::Result<LMBlockDigests> digestBlocksOfGrowingFile(const std::filesystem::path& file,
                                                           const std::function<bool()>& more) {
  return openAndDigest(file, std::nullopt, more);
}

}  // namespace lumora
