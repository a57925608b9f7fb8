#include "server/services/FileService.h"


#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "server/http/BlobReply.h"
#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxHint = 256;

using crypto::isToken;

bool isDigest(const std::string& text) { return BlobStore::isBlobName(text); }

// ".jpg", ".png", ...: a dot and 1 to 8 letters or digits.
bool isExtension(const std::string& text) {
  return text.size() >= 2 && text.size() <= 9 && text.front() == '.' &&
         std::all_of(text.begin() + 1, text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

std::optional<SignedReply> checkType(const SignedRequest& req) {
  if (req.param("type") != std::string(FileService::kFileType)) {
    return badRequest("type must be ico");
  }
  return std::nullopt;
}

SignedReply uploadGoesOn(const std::string& tmpId) {
  return SignedReply::ok(Json{{"tmpid", tmpId}, {"_hostingserver", FileService::kHostingServer}});
}

}  // namespace

namespace {

// The chunk of an upload request, decrypted; the refusal otherwise.
std::variant<FileService::Chunk, SignedReply> readChunk(const SignedRequest& req) {
  if (auto refused = checkType(req)) return *refused;
  FileService::Chunk chunk;
  auto st = req.param("st").value_or("");
  if (st != "1" && st != "2") return badRequest("st must be 1 or 2");
  chunk.last = st == "2";
  auto hint = req.param("ckeyhint").value_or("");
  if (hint.empty() || hint.size() > kMaxHint) return badRequest("ckeyhint is missing");
  chunk.ext = req.param("ext").value_or("");
  chunk.digest = req.param("digest").value_or("");
  if ((chunk.last || req.param("ext")) && !isExtension(chunk.ext)) {
    return badRequest("ext is missing or malformed");
  }
  if ((chunk.last || req.param("digest")) && !isDigest(chunk.digest)) {
    return badRequest("digest must be the SHA-1 of the file in lower-case hex");
  }
  const httplib::Request& http = req.http;
  if (!http.is_multipart_form_data() || http.files.size() != 1 ||
      !http.has_file(FileService::kFilePart) ||
      http.get_file_value(FileService::kFilePart).filename.empty()) {
    return badRequest("one file part uploadfile0 is needed");
  }
  const std::string& content = http.get_file_value(FileService::kFilePart).content;
  if (content.empty() || content.size() > FileService::kChunkSize ||
      (!chunk.last && content.size() != FileService::kChunkSize)) {
    return badRequest("a chunk is 4 MiB, the last one 1 byte to 4 MiB");
  }
  auto plain = crypto::Rc4Stream(crypto::md5Bytes(hint)).apply(content);
  if (!plain) return SignedReply::error(cloudcode::kServerError, "cannot decrypt the chunk");
  chunk.plain = std::move(*plain);
  return chunk;
}

}  // namespace

FileService::FileService(Store& store, BlobStore& blobs, std::function<int()> port)
    : store_(store), blobs_(blobs), port_(std::move(port)) {
  store_.createTables("file service",
                      "CREATE TABLE IF NOT EXISTS files ("
                      " file_id TEXT PRIMARY KEY, user_id INTEGER NOT NULL, sha1 TEXT NOT NULL,"
                      " size INTEGER NOT NULL, ext TEXT NOT NULL, type TEXT NOT NULL);"
                      "CREATE INDEX IF NOT EXISTS files_user_sha1 ON files(user_id, sha1);"
                      "CREATE TABLE IF NOT EXISTS file_uploads ("
                      " tmp_id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,"
                      " received INTEGER NOT NULL, chunk_start INTEGER NOT NULL,"
                      " file_id TEXT NOT NULL DEFAULT '');"
                      "CREATE INDEX IF NOT EXISTS file_uploads_user ON file_uploads(user_id);"
                      "CREATE TABLE IF NOT EXISTS file_links ("
                      " token TEXT PRIMARY KEY, user_id INTEGER NOT NULL, file_id TEXT NOT NULL,"
                      " ckey TEXT NOT NULL);"
                      "CREATE INDEX IF NOT EXISTS file_links_user ON file_links(user_id);");
}

void FileService::registerOn(SignedEndpoints& endpoints) {
  const std::string base = kBasePath;
  const char* service = "lumora";
  endpoints.post(base + "/digest", service, std::bind_front(&FileService::digest, this));
  endpoints.post(base, service, std::bind_front(&FileService::firstChunk, this));
  endpoints.post(base + "/more", service, std::bind_front(&FileService::moreChunk, this));
  endpoints.get(base, service, std::bind_front(&FileService::describe, this));
}

void FileService::registerDownloadsOn(httplib::Server& server) {
  std::string pattern(kTemporaryPathPrefix);
  pattern.append("([A-Za-z0-9_-]{1,64})");
  server.Get(pattern, std::bind_front(&FileService::serveLink, this));
}

std::mutex& FileService::uploadLock(const std::string& tmpId) {
  return uploadLocks_[std::hash<std::string>{}(tmpId) % uploadLocks_.size()];
}

SignedReply FileService::digest(const SignedRequest& req) {
  if (auto refused = checkType(req)) return *refused;
  std::string sha1 = req.param("digest").value_or("");
  if (!isDigest(sha1)) return badRequest("digest must be a SHA-1 in lower-case hex");
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT file_id FROM files WHERE user_id = ? AND sha1 = ? ORDER BY rowid LIMIT 1");
  st.bindAll(req.userId, sha1);
  if (st.step() == SQLITE_ROW && blobs_.has(sha1)) {
    return SignedReply::ok(Json{{"fileId", st.text(0)}});
  }
  return SignedReply::ok(Json::object());
}

SignedReply FileService::firstChunk(const SignedRequest& req) {
  auto read = readChunk(req);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  const Chunk& chunk = std::get<Chunk>(read);
  if (chunk.last) {
    std::string staged = "single-" + crypto::randomToken(18);
    if (!blobs_.writeAt(staged, 0, chunk.plain)) {
      blobs_.discard(staged);
      return SignedReply::error(cloudcode::kServerError, "cannot store the chunk");
    }
    return finish(req.userId, staged, chunk);
  }
  std::string tmpId = crypto::randomToken(18);
  {
    std::lock_guard lock(uploadLock(tmpId));
    bool stored = blobs_.writeAt(tmpId, 0, chunk.plain);
    if (stored) {
      Store::Access access(store_, Store::Access::Mode::Write);
      stored = runSql(access.connection(),
                   "INSERT INTO file_uploads (tmp_id, user_id, received, chunk_start) "
                   "VALUES (?, ?, ?, 0)",
                   tmpId, req.userId, static_cast<std::int64_t>(chunk.plain.size()));
    }
    if (!stored) {
      blobs_.discard(tmpId);
      return SignedReply::error(cloudcode::kServerError, "cannot store the chunk");
    }
  }
  // Without the upload's lock: trimming takes the locks of the uploads it drops.
  trimUploads(req.userId);
  return uploadGoesOn(tmpId);
}

SignedReply FileService::moreChunk(const SignedRequest& req) {
  auto read = readChunk(req);
  if (auto* refused = std::get_if<SignedReply>(&read)) return *refused;
  const Chunk& chunk = std::get<Chunk>(read);
  std::string tmpId = req.param("tmpid").value_or("");
  if (!isToken(tmpId)) return badRequest("tmpid is missing or malformed");
  if (req.param("_hostingserver") != std::string(kHostingServer)) {
    return badRequest("_hostingserver does not name this server");
  }
  auto offset = http::decimal(req.param("offset").value_or(""));
  if (!offset) return badRequest("offset must be a decimal number");

  std::lock_guard lock(uploadLock(tmpId));
  std::int64_t received = 0;
  std::int64_t chunkStart = 0;
  std::string fileId;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(),
                    "SELECT received, chunk_start, file_id FROM file_uploads "
                    "WHERE tmp_id = ? AND user_id = ?");
    st.bindAll(tmpId, req.userId);
    if (st.step() != SQLITE_ROW) return SignedReply::error(cloudcode::kNotFound, "no such upload");
    received = st.integer(0);
    chunkStart = st.integer(1);
    fileId = st.text(2);
  }
  auto end = *offset + static_cast<std::int64_t>(chunk.plain.size());
  // The chunk received last may come again when its reply was lost.
  bool resend = *offset == chunkStart && end == received;
  if (!fileId.empty()) {
    if (resend && chunk.last) return SignedReply::ok(Json{{"fileId", fileId}});
    return badRequest("the upload is finished");
  }
  if (*offset != received && !resend) return badRequest("offset does not continue the upload");
  if (static_cast<std::uint64_t>(end) >= kMaxFileSize) {
    dropUpload(tmpId);
    return SignedReply::error(kFileTooLarge, "the file is 20 MiB or more");
  }
  bool stored = blobs_.writeAt(tmpId, static_cast<std::uint64_t>(*offset), chunk.plain);
  if (stored) {
    Store::Access access(store_, Store::Access::Mode::Write);
    stored = runSql(access.connection(),
                 "UPDATE file_uploads SET received = ?, chunk_start = ? WHERE tmp_id = ?", end,
                 *offset, tmpId);
  }
  if (!stored) return SignedReply::error(cloudcode::kServerError, "cannot store the chunk");
  if (!chunk.last) return uploadGoesOn(tmpId);
  SignedReply reply = finish(req.userId, tmpId, chunk);
  if (reply.body.value("code", -1) != cloudcode::kOk) {
    dropUpload(tmpId);
    return reply;
  }
  Store::Access access(store_, Store::Access::Mode::Write);
  runSql(access.connection(), "UPDATE file_uploads SET file_id = ? WHERE tmp_id = ?",
      reply.body["data"]["fileId"].get<std::string>(), tmpId);
  return reply;
}

SignedReply FileService::finish(std::int64_t userId, const std::string& staged,
                                const Chunk& last) {
  std::uint64_t size = 0;
  switch (blobs_.commit(staged, last.digest, &size)) {
    case BlobStore::CommitResult::Stored:
      break;
    case BlobStore::CommitResult::Mismatch:
      return badRequest("the file does not match its digest");
    case BlobStore::CommitResult::Failed:
      blobs_.discard(staged);
      return SignedReply::error(cloudcode::kServerError, "cannot store the file");
  }
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  {
    SqlStatement st(db, "SELECT file_id FROM files WHERE user_id = ? AND sha1 = ? LIMIT 1");
    st.bindAll(userId, last.digest);
    if (st.step() == SQLITE_ROW) return SignedReply::ok(Json{{"fileId", st.text(0)}});
  }
  {
    SqlStatement st(db, "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM files WHERE user_id = ?");
    st.bind(1, userId);
    if (st.step() != SQLITE_ROW) {
      return SignedReply::error(cloudcode::kServerError, "cannot read the files");
    }
    if (st.integer(0) >= kMaxFilesPerUser ||
        static_cast<std::uint64_t>(st.integer(1)) + size > kMaxBytesPerUser) {
      return SignedReply::error(kStorageFull, "the file storage is full");
    }
  }
  std::string fileId = crypto::randomToken(12);
  if (!runSql(db,
           "INSERT INTO files (file_id, user_id, sha1, size, ext, type) VALUES (?, ?, ?, ?, ?, ?)",
           fileId, userId, last.digest, static_cast<std::int64_t>(size), last.ext, kFileType)) {
    return SignedReply::error(cloudcode::kServerError, "cannot store the file");
  }
  return SignedReply::ok(Json{{"fileId", fileId}});
}

void FileService::dropUpload(const std::string& tmpId) {
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    runSql(access.connection(), "DELETE FROM file_uploads WHERE tmp_id = ?", tmpId);
  }
  blobs_.discard(tmpId);
}

void FileService::trimUploads(std::int64_t userId) {
  std::vector<std::string> dropped;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(),
                    "SELECT tmp_id FROM file_uploads WHERE user_id = ? "
                    "ORDER BY rowid DESC LIMIT -1 OFFSET ?");
    st.bindAll(userId, kMaxOpenUploadsPerUser);
    while (st.step() == SQLITE_ROW) dropped.push_back(st.text(0));
  }
  for (const std::string& tmpId : dropped) {
    std::lock_guard lock(uploadLock(tmpId));
    dropUpload(tmpId);
  }
}

SignedReply FileService::describe(const SignedRequest& req) {
  if (auto refused = checkType(req)) return *refused;
  std::string fileId = req.param("fileId").value_or("");
  if (!isToken(fileId)) return badRequest("fileId is missing or malformed");
  if (auto retry = req.param("retry"); retry && !http::decimal(*retry)) {
    return badRequest("retry must be a decimal number");
  }
  std::string sha1;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(),
                    "SELECT sha1 FROM files WHERE file_id = ? AND user_id = ?");
    st.bindAll(fileId, req.userId);
    if (st.step() != SQLITE_ROW) return SignedReply::error(cloudcode::kNotFound, "no such file");
    sha1 = st.text(0);
  }
  if (!blobs_.has(sha1)) return SignedReply::error(cloudcode::kServerError, "the file is lost");
  // Each description has a link and a key of its own.
  std::string token = crypto::randomToken(18);
  std::string ckey = crypto::hexEncode(crypto::randomBytes(16));
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    SqlConnection& db = access.connection();
    if (!runSql(db, "INSERT INTO file_links (token, user_id, file_id, ckey) VALUES (?, ?, ?, ?)",
             token, req.userId, fileId, ckey)) {
      return SignedReply::error(cloudcode::kServerError, "cannot make a download link");
    }
    runSql(db,
        "DELETE FROM file_links WHERE user_id = ?1 AND rowid <= (SELECT rowid FROM file_links "
        "WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)",
        req.userId, kMaxLinksPerUser);
  }
  std::string url = http::baseUrl(req.http, port_()) + kTemporaryPathPrefix + token;
  Json mfs{{"ckey", ckey}, {"fileSha1", sha1}, {"tmpUrl", url}};
  return SignedReply::ok(Json{{"data", Json{{"fileId", fileId}, {"mfs", std::move(mfs)}}}});
}

void FileService::serveLink(const httplib::Request& req, httplib::Response& res) {
  std::string token = req.matches[1];
  std::string ckey;
  std::string sha1;
  std::uint64_t size = 0;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(),
                    "SELECT l.ckey, f.sha1, f.size FROM file_links l "
                    "JOIN files f ON f.file_id = l.file_id WHERE l.token = ?");
    st.bind(1, token);
    if (st.step() != SQLITE_ROW) return http::replyText(res, 404, "no such link");
    ckey = st.text(0);
    sha1 = st.text(1);
    size = static_cast<std::uint64_t>(st.integer(2));
  }
  if (!replyWithEncryptedBlob(res, blobs_, sha1, size, crypto::hexDecode(ckey).value_or(""))) {
    return http::replyText(res, 500, "the file cannot be read");
  }
}

}  // namespace localcloud
