#include "server/storage/KssFileStore.h"

#include <sqlite3.h>

#include "server/services/Crypto.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

KssFileStore::KssFileStore(Store& store) : store_(store) {
  store_.createTables("block storage",
                      "CREATE TABLE IF NOT EXISTS kss_uploads ("
                      " file_meta TEXT PRIMARY KEY, user_id INTEGER NOT NULL,"
                      " secure_key TEXT NOT NULL, block_count INTEGER NOT NULL,"
                      " created_at INTEGER NOT NULL DEFAULT 0);"
                      "CREATE INDEX IF NOT EXISTS kss_uploads_user ON kss_uploads(user_id);"
                      "CREATE TABLE IF NOT EXISTS kss_upload_blocks ("
                      " file_meta TEXT NOT NULL, idx INTEGER NOT NULL, block_meta TEXT NOT NULL,"
                      " sha1 TEXT NOT NULL, size INTEGER NOT NULL, commit_meta TEXT NOT NULL DEFAULT '',"
                      " PRIMARY KEY (file_meta, idx));"
                      "CREATE UNIQUE INDEX IF NOT EXISTS kss_upload_blocks_meta"
                      " ON kss_upload_blocks(file_meta, block_meta);"
                      "CREATE TABLE IF NOT EXISTS kss_files ("
                      " file_id TEXT PRIMARY KEY, user_id INTEGER NOT NULL, size INTEGER NOT NULL);"
                      "CREATE INDEX IF NOT EXISTS kss_files_user ON kss_files(user_id);"
                      "CREATE TABLE IF NOT EXISTS kss_file_blocks ("
                      " file_id TEXT NOT NULL, idx INTEGER NOT NULL, sha1 TEXT NOT NULL,"
                      " size INTEGER NOT NULL, PRIMARY KEY (file_id, idx));"
                      "CREATE INDEX IF NOT EXISTS kss_file_blocks_sha1 ON kss_file_blocks(sha1);"
                      "CREATE TABLE IF NOT EXISTS kss_links ("
                      " token TEXT PRIMARY KEY, user_id INTEGER NOT NULL, file_id TEXT NOT NULL,"
                      " secure_key TEXT NOT NULL);"
                      "CREATE INDEX IF NOT EXISTS kss_links_user ON kss_links(user_id);");
  // A cloud of an older version made its uploads without the time they
  // began: they count as old. (Fails harmlessly where the column exists.)
  Store::Access access(store_, Store::Access::Mode::Write);
  sqlite3_exec(access.connection().db(),
               "ALTER TABLE kss_uploads ADD COLUMN created_at INTEGER NOT NULL DEFAULT 0", nullptr, nullptr,
               nullptr);
}

std::optional<std::vector<KssFileStore::OfferedBlock>> KssFileStore::addUpload(
    std::int64_t userId, const std::string& fileMeta, const std::string& secureKey, std::int64_t createdAt,
    const std::vector<std::pair<std::string, std::int64_t>>& blocks,
    const std::function<bool(const std::string& sha1)>& inBlobs) {
  std::vector<OfferedBlock> offered;
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction transaction(db, SqlTransaction::Mode::Write);
  bool stored = transaction.ok() &&
                runSql(db,
                       "INSERT INTO kss_uploads (file_meta, user_id, secure_key, block_count, created_at) "
                       "VALUES (?, ?, ?, ?, ?)",
                       fileMeta, userId, secureKey, static_cast<std::int64_t>(blocks.size()), createdAt);
  for (std::size_t i = 0; stored && i < blocks.size(); ++i) {
    const auto& [sha1, size] = blocks[i];
    OfferedBlock block{crypto::randomToken(12), {}};
    SqlStatement held(db,
                      "SELECT 1 FROM kss_file_blocks b JOIN kss_files f ON f.file_id = b.file_id "
                      "WHERE b.sha1 = ? AND f.user_id = ? LIMIT 1");
    held.bindAll(sha1, userId);
    if (held.step() == SQLITE_ROW && inBlobs(sha1)) block.commitMeta = crypto::randomToken(12);
    stored = runSql(db,
                    "INSERT INTO kss_upload_blocks (file_meta, idx, block_meta, sha1, size, "
                    "commit_meta) VALUES (?, ?, ?, ?, ?, ?)",
                    fileMeta, static_cast<std::int64_t>(i), block.blockMeta, sha1, size, block.commitMeta);
    offered.push_back(std::move(block));
  }
  if (!stored || !transaction.commit()) return std::nullopt;
  return offered;
}

std::optional<KssFileStore::UploadTarget> KssFileStore::uploadTarget(const std::string& fileMeta,
                                                                     const std::string& blockMeta) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT u.secure_key, b.idx, b.sha1, b.size, b.commit_meta, u.block_count "
                  "FROM kss_uploads u JOIN kss_upload_blocks b ON b.file_meta = u.file_meta "
                  "WHERE u.file_meta = ? AND b.block_meta = ?");
  st.bindAll(fileMeta, blockMeta);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return UploadTarget{st.text(0), Block{st.integer(1), st.text(2), st.integer(3), st.text(4)}, st.integer(5)};
}

std::optional<std::string> KssFileStore::commitMetaOf(const std::string& fileMeta, std::int64_t index) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT commit_meta FROM kss_upload_blocks WHERE file_meta = ? AND idx = ?");
  st.bindAll(fileMeta, index);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.text(0);
}

bool KssFileStore::setCommitMeta(const std::string& fileMeta, std::int64_t index, const std::string& commitMeta) {
  Store::Access access(store_, Store::Access::Mode::Write);
  return runSql(access.connection(), "UPDATE kss_upload_blocks SET commit_meta = ? WHERE file_meta = ? AND idx = ?",
                commitMeta, fileMeta, index);
}

std::vector<KssFileStore::Block> KssFileStore::uploadBlocks(std::int64_t userId, const std::string& fileMeta) {
  std::vector<Block> blocks;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT b.idx, b.sha1, b.size, b.commit_meta FROM kss_uploads u "
                  "JOIN kss_upload_blocks b ON b.file_meta = u.file_meta "
                  "WHERE u.file_meta = ? AND u.user_id = ? ORDER BY b.idx");
  st.bindAll(fileMeta, userId);
  while (st.step() == SQLITE_ROW) blocks.push_back(Block{st.integer(0), st.text(1), st.integer(2), st.text(3)});
  return blocks;
}

std::optional<std::pair<std::int64_t, std::int64_t>> KssFileStore::usage(std::int64_t userId) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM kss_files WHERE user_id = ?");
  st.bind(1, userId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return std::make_pair(st.integer(0), st.integer(1));
}

bool KssFileStore::commitUpload(const std::string& fileMeta, const std::string& fileId, std::int64_t userId,
                                std::int64_t size, const std::vector<Block>& blocks) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction transaction(db, SqlTransaction::Mode::Write);
  bool stored = transaction.ok() &&
                runSql(db, "INSERT INTO kss_files (file_id, user_id, size) VALUES (?, ?, ?)", fileId, userId, size);
  for (std::size_t i = 0; stored && i < blocks.size(); ++i) {
    stored = runSql(db, "INSERT INTO kss_file_blocks (file_id, idx, sha1, size) VALUES (?, ?, ?, ?)", fileId,
                    blocks[i].index, blocks[i].sha1, blocks[i].size);
  }
  stored = stored && runSql(db, "DELETE FROM kss_upload_blocks WHERE file_meta = ?", fileMeta) &&
           runSql(db, "DELETE FROM kss_uploads WHERE file_meta = ?", fileMeta);
  return stored && transaction.commit();
}

void KssFileStore::dropUpload(const std::string& fileMeta) {
  Store::Access access(store_, Store::Access::Mode::Write);
  runSql(access.connection(), "DELETE FROM kss_upload_blocks WHERE file_meta = ?", fileMeta);
  runSql(access.connection(), "DELETE FROM kss_uploads WHERE file_meta = ?", fileMeta);
}

std::vector<std::pair<std::string, std::int64_t>> KssFileStore::uploadsBeyond(std::int64_t userId, int keep) {
  std::vector<std::pair<std::string, std::int64_t>> uploads;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT file_meta, block_count FROM kss_uploads WHERE user_id = ? "
                  "ORDER BY rowid DESC LIMIT -1 OFFSET ?");
  st.bindAll(userId, keep);
  while (st.step() == SQLITE_ROW) uploads.emplace_back(st.text(0), st.integer(1));
  return uploads;
}

std::vector<std::pair<std::string, std::int64_t>> KssFileStore::uploadsBefore(std::int64_t time) {
  std::vector<std::pair<std::string, std::int64_t>> uploads;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT file_meta, block_count FROM kss_uploads WHERE created_at < ?");
  st.bindAll(time);
  while (st.step() == SQLITE_ROW) uploads.emplace_back(st.text(0), st.integer(1));
  return uploads;
}

std::vector<std::pair<std::string, std::int64_t>> KssFileStore::stagedBlocks() {
  std::vector<std::pair<std::string, std::int64_t>> blocks;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT file_meta, idx FROM kss_upload_blocks");
  while (st.step() == SQLITE_ROW) blocks.emplace_back(st.text(0), st.integer(1));
  return blocks;
}

std::optional<std::int64_t> KssFileStore::bytesHeldAndStaged(std::int64_t userId) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT (SELECT COALESCE(SUM(size), 0) FROM kss_files WHERE user_id = ?1) + "
                  "(SELECT COALESCE(SUM(b.size), 0) FROM kss_uploads u JOIN kss_upload_blocks b "
                  "ON b.file_meta = u.file_meta WHERE u.user_id = ?1)");
  st.bindAll(userId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.integer(0);
}

std::vector<KssFileStore::Block> KssFileStore::fileBlocks(std::int64_t userId, const std::string& fileId) {
  std::vector<Block> blocks;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT b.idx, b.sha1, b.size FROM kss_files f "
                  "JOIN kss_file_blocks b ON b.file_id = f.file_id "
                  "WHERE f.file_id = ? AND f.user_id = ? ORDER BY b.idx");
  st.bindAll(fileId, userId);
  while (st.step() == SQLITE_ROW) blocks.push_back(Block{st.integer(0), st.text(1), st.integer(2), {}});
  return blocks;
}

bool KssFileStore::dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction transaction(db, SqlTransaction::Mode::Write);
  bool stored = transaction.ok();
  for (const std::string& fileId : fileIds) {
    SqlStatement owned(db, "DELETE FROM kss_files WHERE file_id = ? AND user_id = ? RETURNING file_id");
    owned.bindAll(fileId, userId);
    if (!stored || owned.step() != SQLITE_ROW) continue;
    owned.step();
    stored = runSql(db, "DELETE FROM kss_file_blocks WHERE file_id = ?", fileId) &&
             runSql(db, "DELETE FROM kss_links WHERE file_id = ?", fileId);
  }
  return stored && transaction.commit();
}

bool KssFileStore::addLink(const std::string& token, std::int64_t userId, const std::string& fileId,
                           const std::string& secureKey, int keep) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  if (!runSql(db, "INSERT INTO kss_links (token, user_id, file_id, secure_key) VALUES (?, ?, ?, ?)", token, userId,
              fileId, secureKey)) {
    return false;
  }
  runSql(db,
         "DELETE FROM kss_links WHERE user_id = ?1 AND rowid <= (SELECT rowid FROM kss_links "
         "WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)",
         userId, keep);
  return true;
}

std::optional<KssFileStore::LinkedBlock> KssFileStore::linkedBlock(const std::string& token, std::int64_t index) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT l.secure_key, b.sha1, b.size FROM kss_links l "
                  "JOIN kss_file_blocks b ON b.file_id = l.file_id WHERE l.token = ? AND b.idx = ?");
  st.bindAll(token, index);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return LinkedBlock{st.text(0), st.text(1), st.integer(2)};
}

}  // namespace localcloud
