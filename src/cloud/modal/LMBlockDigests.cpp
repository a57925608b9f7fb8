#include "cloud/modal/LMBlockDigests.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "utils/Digest.h"
#include "utils/DigestContext.h"
#include "platform/Semaphore.h"
#include "platform/SerialQueue.h"

namespace lumora {
namespace {

using platform::Json;

// Feeds blocks in file order: the whole-file SHA-1 on the caller's thread,
// each block's SHA-1 and MD5 on a helper queue of their own.
class BlockDigester {
 public:
  void add(const std::uint8_t* data, std::size_t size) {
    std::string blockSHA1;
    std::string blockMD5;
    platform::Semaphore done;
    sha1Queue_.async([&] {
      blockSHA1 = platform::hexString(digestOf(DigestKind::SHA1, data, size));
      done.signal();
    });
    md5Queue_.async([&] {
      blockMD5 = platform::hexString(digestOf(DigestKind::MD5, data, size));
      done.signal();
    });
    whole_.update(data, size);
    done.wait();
    done.wait();
    result_.blockInfos.push_back(
        Json{{"sha1", blockSHA1}, {"md5", blockMD5}, {"size", static_cast<std::int64_t>(size)}});
  }

  LMBlockDigests finish() {
    result_.sha1 = platform::hexString(whole_.finish());
    return std::move(result_);
  }

 private:
  DigestContext whole_{DigestKind::SHA1};
  LMBlockDigests result_;
  platform::SerialQueue sha1Queue_{"lumora.digest.block-sha1"};
  platform::SerialQueue md5Queue_{"lumora.digest.block-md5"};
};

platform::Error posixError(int code, const std::string& what) {
  return platform::Error(platform::kPOSIXErrorDomain, code,
                         Json{{platform::Error::kLocalizedDescriptionKey, what + ": " + std::strerror(code)}});
}

}  // namespace

LMBlockDigests digestBlocksOfData(const platform::Bytes& data) {
  BlockDigester digester;
  for (std::size_t offset = 0; offset < data.size(); offset += kLMBlockSize) {
    digester.add(data.data() + offset, std::min<std::size_t>(kLMBlockSize, data.size() - offset));
  }
  return digester.finish();
}

platform::Result<LMBlockDigests> digestBlocksOfFile(const std::filesystem::path& file, std::int64_t size) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "Cannot open " + file.filename().string());
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  BlockDigester digester;
  platform::Bytes buffer(static_cast<std::size_t>(std::min<std::int64_t>(kLMBlockSize, std::max<std::int64_t>(size, 0))));
  for (std::int64_t offset = 0; offset < size; offset += kLMBlockSize) {
    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(kLMBlockSize, size - offset));
    std::size_t filled = 0;
    while (filled < length) {
      const ssize_t got = ::read(fd, buffer.data() + filled, length - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return posixError(errno, "Cannot read " + file.filename().string());
      if (got == 0) return posixError(EIO, file.filename().string() + " ended early");
      filled += static_cast<std::size_t>(got);
    }
    digester.add(buffer.data(), length);
  }
  return digester.finish();
}

}  // namespace lumora
