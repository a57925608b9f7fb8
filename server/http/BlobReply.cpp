#include "server/http/BlobReply.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "server/services/FileCrypto.h"

namespace localcloud {
namespace {

// Small enough that the first bytes go out at once.
constexpr std::size_t kServePiece = 64 * 1024;

// One download: the blob's reader and the key stream (made as it goes, or
// made already), at `position`, and the piece in hand.
struct EncryptedDownload {
  BlobStore::Reader reader;
  std::string key;
  std::unique_ptr<crypto::Rc4Stream> rc4;
  std::shared_ptr<KeyStreams::Stream> keyStream;
  std::uint64_t position = 0;
  std::string piece = std::string(kServePiece, '\0');

  bool encrypt(std::size_t size) {
    if (!keyStream) return rc4->applyInPlace(piece.data(), size);
    return crypto::applyKeyStream(keyStream->bytes(), position, piece.data(), piece.data(), size);
  }

  bool moveTo(std::uint64_t offset) {
    if (keyStream) {
      position = offset;
      return reader.seek(offset);
    }
    rc4 = std::make_unique<crypto::Rc4Stream>(key);
    std::string zeros(std::min<std::uint64_t>(offset, kServePiece), '\0');
    for (std::uint64_t done = 0; done < offset; done += zeros.size()) {
      auto size = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), offset - done));
      if (!rc4->apply(std::string_view(zeros.data(), size))) return false;
    }
    position = offset;
    return reader.seek(offset);
  }

  bool serve(std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    if (offset != position && !moveTo(offset)) return false;
    auto got = reader.readInto(piece.data(), std::min(length, kServePiece));
    if (!got || *got == 0 || !encrypt(*got)) return false;
    position += *got;
    return sink.write(piece.data(), *got);
  }
};

bool reply(httplib::Response& res, std::shared_ptr<EncryptedDownload> download,
           std::uint64_t size) {
  res.set_content_provider(
      static_cast<std::size_t>(size), "application/octet-stream",
      [download](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return download->serve(offset, length, sink);
      });
  return true;
}

}  // namespace

bool replyWithEncryptedBlob(httplib::Response& res, const BlobStore& blobs, const std::string& sha1,
                            std::uint64_t size, const std::string& key) {
  auto download = std::make_shared<EncryptedDownload>();
  download->reader = blobs.open(sha1);
  download->key = key;
  download->rc4 = std::make_unique<crypto::Rc4Stream>(key);
  if (!download->reader.ok() || !download->rc4->ok()) return false;
  return reply(res, std::move(download), size);
}

bool replyWithKeyStream(httplib::Response& res, const BlobStore& blobs, const std::string& sha1,
                        std::uint64_t size, std::shared_ptr<KeyStreams::Stream> keyStream) {
  auto download = std::make_shared<EncryptedDownload>();
  download->reader = blobs.open(sha1);
  download->keyStream = std::move(keyStream);
  if (!download->reader.ok() || !download->keyStream || size > download->keyStream->length() ||
      !download->keyStream->ensure(static_cast<std::size_t>(size))) {
    return false;
  }
  return reply(res, std::move(download), size);
}

}  // namespace localcloud
