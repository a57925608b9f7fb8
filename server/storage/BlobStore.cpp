#include "server/storage/BlobStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "server/services/FileCrypto.h"

namespace localcloud {

namespace {

constexpr std::size_t kPiece = 1024 * 1024;

}  // namespace

bool BlobStore::isBlobName(const std::string& text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

BlobStore::BlobStore(std::filesystem::path root) : root_(std::move(root)) {
  std::error_code ec;
  std::filesystem::create_directories(root_ / "staging", ec);
}

std::vector<std::string> BlobStore::stagedNames() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root_ / "staging", ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::filesystem::path BlobStore::blobPath(const std::string& sha1) const {
  return root_ / sha1.substr(0, 2) / sha1;
}

std::filesystem::path BlobStore::stagingPath(const std::string& name) const {
  return root_ / "staging" / name;
}

bool BlobStore::writeAt(const std::string& name, std::uint64_t offset, std::string_view bytes) {
  std::filesystem::path path = stagingPath(name);
  std::error_code ec;
  if (offset == 0) {
    std::ofstream create(path, std::ios::binary | std::ios::trunc);
    if (!create) return false;
  } else if (std::filesystem::file_size(path, ec) < offset || ec) {
    return false;
  }
  std::filesystem::resize_file(path, offset, ec);
  if (ec) return false;
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  return static_cast<bool>(out);
}

BlobStore::CommitResult BlobStore::commit(const std::string& name, const std::string& sha1,
                                          std::uint64_t* size, crypto::Sha1Stream* alsoInto) {
  std::filesystem::path staged = stagingPath(name);
  crypto::Sha1Stream digest;
  std::uint64_t length = 0;
  {
    std::ifstream in(staged, std::ios::binary);
    if (!in) return CommitResult::Failed;
    std::string piece(kPiece, '\0');
    while (in) {
      in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      std::size_t got = static_cast<std::size_t>(in.gcount());
      digest.update(std::string_view(piece.data(), got));
      if (alsoInto) alsoInto->update(std::string_view(piece.data(), got));
      length += got;
    }
    if (in.bad()) return CommitResult::Failed;
  }
  std::string actual = digest.finishHex();
  if (actual.empty()) return CommitResult::Failed;
  if (actual != sha1) {
    discard(name);
    return CommitResult::Mismatch;
  }
  if (!place(name, sha1)) return CommitResult::Failed;
  if (size) *size = length;
  return CommitResult::Stored;
}

bool BlobStore::place(const std::string& name, const std::string& sha1) {
  if (!isBlobName(sha1)) return false;
  // The same content placed twice lands in the same place: the rename
  // replaces identical bytes.
  std::error_code ec;
  std::filesystem::path target = blobPath(sha1);
  std::filesystem::create_directories(target.parent_path(), ec);
  std::filesystem::rename(stagingPath(name), target, ec);
  return !ec;
}

bool BlobStore::rename(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::rename(stagingPath(from), stagingPath(to), ec);
  return !ec;
}

BlobStore::Writer BlobStore::create(const std::string& name) {
  Writer writer;
  writer.fd_ = ::open(stagingPath(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  return writer;
}

BlobStore::Writer::~Writer() {
  if (fd_ >= 0) ::close(fd_);
}

bool BlobStore::Writer::write(const char* data, std::size_t size) {
  while (fd_ >= 0 && size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

void BlobStore::discard(const std::string& name) {
  std::error_code ec;
  std::filesystem::remove(stagingPath(name), ec);
}

bool BlobStore::has(const std::string& sha1) const {
  std::error_code ec;
  return isBlobName(sha1) && std::filesystem::is_regular_file(blobPath(sha1), ec);
}

bool BlobStore::digest(const std::string& sha1, crypto::Sha1Stream& digest) const {
  Reader reader = open(sha1);
  if (!reader.ok()) return false;
  std::string piece(kPiece, '\0');
  while (true) {
    auto got = reader.readInto(piece.data(), piece.size());
    if (!got) return false;
    if (*got == 0) return true;
    digest.update(std::string_view(piece.data(), *got));
  }
}

BlobStore::Reader BlobStore::open(const std::string& sha1) const {
  Reader reader;
  if (isBlobName(sha1)) reader.in_.open(blobPath(sha1), std::ios::binary);
  return reader;
}

std::optional<std::string> BlobStore::Reader::read(std::size_t maxBytes) {
  std::string piece(maxBytes, '\0');
  auto got = readInto(piece.data(), maxBytes);
  if (!got) return std::nullopt;
  piece.resize(*got);
  return piece;
}

std::optional<std::size_t> BlobStore::Reader::readInto(char* buffer, std::size_t maxBytes) {
  in_.read(buffer, static_cast<std::streamsize>(maxBytes));
  if (in_.bad()) return std::nullopt;
  return static_cast<std::size_t>(in_.gcount());
}

bool BlobStore::Reader::seek(std::uint64_t offset) {
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(in_);
}

}  // namespace localcloud
