#include "server/storage/Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <mutex>
#include <utility>

#include "server/services/Crypto.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Statement = SqlStatement;

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

const char* kindName(PendingStep::Kind kind) {
  return kind == PendingStep::Kind::TwoStep ? "two_step" : "phone";
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Version 1: the account service's tables.
const char* kSchemaV1 = R"sql(
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE accounts (
  user_id INTEGER PRIMARY KEY,
  login_name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  c_user_id TEXT NOT NULL,
  needs_captcha INTEGER NOT NULL DEFAULT 0,
  needs_two_step INTEGER NOT NULL DEFAULT 0,
  two_step_code TEXT NOT NULL DEFAULT '',
  needs_phone INTEGER NOT NULL DEFAULT 0,
  phone TEXT NOT NULL DEFAULT '',
  blocked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE pass_tokens (
  token TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL,
  device_id TEXT NOT NULL DEFAULT '',
  created_at INTEGER NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE login_grants (
  nonce INTEGER PRIMARY KEY,
  ssecurity TEXT NOT NULL,
  user_id INTEGER NOT NULL,
  service_id TEXT NOT NULL,
  pass_token TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0);
CREATE INDEX login_grants_pass_token ON login_grants(pass_token);
CREATE TABLE service_tokens (
  token TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL,
  service_id TEXT NOT NULL,
  ssecurity TEXT NOT NULL,
  pass_token TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE captchas (
  ick TEXT PRIMARY KEY,
  code TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  used INTEGER NOT NULL DEFAULT 0);
CREATE TABLE pending_steps (
  ticket TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  user_id INTEGER NOT NULL,
  service_id TEXT NOT NULL,
  callback TEXT NOT NULL,
  device_id TEXT NOT NULL,
  sms_code TEXT NOT NULL DEFAULT '',
  sms_sent INTEGER NOT NULL DEFAULT 0,
  state INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL);
CREATE TABLE trusted_devices (
  user_id INTEGER NOT NULL,
  device_id TEXT NOT NULL,
  PRIMARY KEY (user_id, device_id));
)sql";

// Version 2: the cloud services' tables. Contact records keep their
// "content" without "id", "tag" and "status", which live in columns; a
// user's record ids and version tags come from contact_users.
const char* kSchemaV2 = R"sql(
CREATE TABLE contact_records (
  user_id INTEGER NOT NULL,
  id INTEGER NOT NULL,
  type TEXT NOT NULL,
  tag INTEGER NOT NULL,
  status TEXT NOT NULL,
  content TEXT NOT NULL,
  purged INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (user_id, id));
CREATE INDEX contact_records_tag ON contact_records(user_id, tag);
CREATE TABLE contact_users (
  user_id INTEGER PRIMARY KEY,
  last_id INTEGER NOT NULL DEFAULT 0,
  last_tag INTEGER NOT NULL DEFAULT 0);
CREATE TABLE device_settings (
  user_id INTEGER NOT NULL,
  dev_id TEXT NOT NULL,
  content TEXT NOT NULL,
  updated_at INTEGER NOT NULL,
  PRIMARY KEY (user_id, dev_id));
)sql";

// Version 3: login grants keep the order they were made in (their nonces
// are random), and the tables trimmed per owner get an index for it.
const char* kSchemaV3 = R"sql(
ALTER TABLE login_grants ADD COLUMN seq INTEGER NOT NULL DEFAULT 0;
CREATE INDEX login_grants_seq ON login_grants(pass_token, seq);
CREATE INDEX pass_tokens_user ON pass_tokens(user_id);
CREATE INDEX service_tokens_user ON service_tokens(user_id, service_id);
CREATE INDEX pending_steps_user ON pending_steps(user_id);
)sql";

// Version 4: the contact service's memory of the adds it made (see
// ContactStore) in place of the tables it kept before, contact_adds (no
// device: its rows answer any device of the user) and contact_device_adds,
// whose rows are carried over as made at the upgrade.
const char* kSchemaV4 = R"sql(
CREATE TABLE IF NOT EXISTS contact_adds (user_id INTEGER, ckey TEXT, digest TEXT, record_id INTEGER);
CREATE TABLE IF NOT EXISTS contact_device_adds (user_id INTEGER, device TEXT, ckey TEXT, digest TEXT, record_id INTEGER);
CREATE TABLE contact_add_memory (
  user_id INTEGER NOT NULL, mark TEXT NOT NULL, device TEXT NOT NULL, ckey TEXT NOT NULL,
  digest TEXT NOT NULL, record_id INTEGER NOT NULL, made_at INTEGER NOT NULL,
  PRIMARY KEY (user_id, mark, ckey, digest, device));
CREATE INDEX contact_add_memory_age ON contact_add_memory(user_id, made_at);
INSERT OR IGNORE INTO contact_add_memory SELECT user_id, '', device, ckey, digest, record_id,
  CAST(strftime('%s', 'now') AS INTEGER) FROM contact_device_adds;
INSERT OR IGNORE INTO contact_add_memory SELECT user_id, '', '', ckey, digest, record_id,
  CAST(strftime('%s', 'now') AS INTEGER) FROM contact_adds;
DROP TABLE contact_device_adds;
DROP TABLE contact_adds;
)sql";

// Statements that drop the oldest rows past a limit. Each takes the owner
// (when it has one) and then the number of rows to keep; rows are ordered
// by rowid (insertion order: the oldest rows are the ones dropped, so the
// newest rowid stays the largest) or, for login grants, by seq.
const char* kTrimCaptchas =
    "DELETE FROM captchas WHERE rowid <= "
    "(SELECT rowid FROM captchas ORDER BY rowid DESC LIMIT 1 OFFSET ?1)";
const char* kTrimPendingSteps =
    "DELETE FROM pending_steps WHERE user_id = ?1 AND rowid <= (SELECT rowid FROM "
    "pending_steps WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)";
const char* kTrimPassTokens =
    "DELETE FROM pass_tokens WHERE user_id = ?1 AND rowid <= (SELECT rowid FROM "
    "pass_tokens WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)";
const char* kDropOrphanGrants =
    "DELETE FROM login_grants WHERE user_id = ?1 AND pass_token NOT IN "
    "(SELECT token FROM pass_tokens WHERE user_id = ?1)";
const char* kTrimGrants =
    "DELETE FROM login_grants WHERE pass_token = ?1 AND seq <= (SELECT seq FROM "
    "login_grants WHERE pass_token = ?1 ORDER BY seq DESC LIMIT 1 OFFSET ?2)";
const char* kTrimServiceTokens =
    "DELETE FROM service_tokens WHERE user_id = ?1 AND service_id = ?2 AND rowid <= "
    "(SELECT rowid FROM service_tokens WHERE user_id = ?1 AND service_id = ?2 "
    "ORDER BY rowid DESC LIMIT 1 OFFSET ?3)";
const char* kTrimTrustedDevices =
    "DELETE FROM trusted_devices WHERE user_id = ?1 AND rowid <= (SELECT rowid FROM "
    "trusted_devices WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)";

// Runs one of the statements above (or any other with bound values only);
// the number of rows it changed, 0 when it failed.
template <typename... Values>
int execute(SqlConnection& db, const char* sql, const Values&... values) {
  Statement st(db, sql);
  return st.bindAll(values...).run() ? sqlite3_changes(db.db()) : 0;
}

// Opens one connection to the file: the writing one (creating the file) or
// a read-only one. Each is used by one thread at a time, so it needs no
// locking of its own inside SQLite. The file belongs to this process alone
// ("unix-excl"): the connections coordinate in memory, with no file lock
// taken and dropped (a system call each) around every read.
std::unique_ptr<SqlConnection> openConnection(const std::string& file, bool writer,
                                              std::string* error) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (writer ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(file.c_str(), &db, flags, "unix-excl") != SQLITE_OK) {
    if (error) *error = "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  // A reader never writes, not even by mistake.
  if (!writer) sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
  return std::make_unique<SqlConnection>(db);
}

}  // namespace

std::unique_ptr<Store> Store::open(const std::filesystem::path& dataDir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dataDir, ec);
  if (ec) {
    if (error) *error = "cannot create data directory " + dataDir.string() + ": " + ec.message();
    return nullptr;
  }
  // SQLite's memory statistics take one process-wide lock around every
  // allocation, which all reading threads then queue on. Nothing here reads
  // them; they can be turned off only before SQLite is first used in the
  // process (later this does nothing).
  static std::once_flag statistics;
  std::call_once(statistics, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  // One server per data folder: a second one is refused here, before it
  // waits on the first one's database.
  FolderLock lock;
  const std::filesystem::path lockFile = dataDir / "cloud.lock";
  lock.fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock.fd < 0) {
    if (error) *error = "cannot open " + lockFile.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
    if (error) {
      *error = errno == EWOULDBLOCK ? dataDir.string() + " is in use by another lumora-cloud"
                                    : "cannot lock " + lockFile.string() + ": " + std::strerror(errno);
    }
    return nullptr;
  }
  std::filesystem::path file = dataDir / "cloud.db";
  // The store holds password digests, live tokens and keys: the folder and
  // the database's files are the owner's alone (older ones tightened), and
  // the database is made 0600 before SQLite opens it (its log and shared
  // memory files take the database's mode).
  namespace fs = std::filesystem;
  fs::permissions(dataDir, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::permissions(fs::path(file.string() + suffix), fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, ec);
  }
  auto writer = openConnection(file.string(), true, error);
  if (!writer) return nullptr;
  std::unique_ptr<Store> store(new Store(std::exchange(lock.fd, -1), std::move(writer), file));
  if (!store->migrate(error)) return nullptr;
  return store;
}

Store::FolderLock::~FolderLock() {
  if (fd >= 0) ::close(fd);
}

Store::Store(int lockFd, std::unique_ptr<SqlConnection> writer, std::filesystem::path file)
    : file_(std::move(file)), writer_(std::move(writer)) {
  lock_.fd = lockFd;
}

Store::~Store() = default;

Store::Access::Access(Store& store, Mode mode) : store_(store), mode_(mode) {
  if (mode_ == Mode::Write) {
    store_.writeMutex_.lock();
    connection_ = store_.writer_.get();
  } else {
    connection_ = store_.borrowReader();
  }
}

Store::Access::~Access() {
  if (mode_ == Mode::Write) {
    store_.writeMutex_.unlock();
  } else {
    store_.returnReader(connection_);
  }
}

SqlConnection* Store::borrowReader() {
  std::unique_lock lock(readersMutex_);
  while (idleReaders_.empty()) {
    if (readers_.size() < kMaxReaders) {
      // The schema is in place (open() migrated it): a new reader sees it.
      if (auto reader = openConnection(file_.string(), false, nullptr)) {
        readers_.push_back(std::move(reader));
        return readers_.back().get();
      }
      // Out of file handles or memory: wait for a reader in use, if any.
      if (readers_.empty()) break;
    }
    readerReturned_.wait(lock);
  }
  if (idleReaders_.empty()) {
    // No reader can be had at all: read on the writing connection.
    lock.unlock();
    writeMutex_.lock();
    return writer_.get();
  }
  SqlConnection* reader = idleReaders_.back();
  idleReaders_.pop_back();
  return reader;
}

void Store::returnReader(SqlConnection* reader) {
  if (reader == writer_.get()) {
    writeMutex_.unlock();
    return;
  }
  {
    std::lock_guard lock(readersMutex_);
    idleReaders_.push_back(reader);
  }
  readerReturned_.notify_one();
}

bool Store::exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(writer_->db(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    if (error) *error = message ? message : "SQL error";
    sqlite3_free(message);
    return false;
  }
  return true;
}

void Store::createTables(const std::string& owner, const char* sql) {
  Access access(*this, Access::Mode::Write);
  char* message = nullptr;
  if (sqlite3_exec(access.connection().db(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::lock_guard lock(schemaMutex_);
    if (schemaError_.empty()) schemaError_ = owner + ": cannot create its tables: " + (message ? message : "SQL error");
  }
  sqlite3_free(message);
}

std::string Store::schemaError() const {
  std::lock_guard lock(schemaMutex_);
  return schemaError_;
}

bool Store::migrate(std::string* error) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  // WAL with NORMAL sync: a commit is in the log file before the write
  // returns, so it survives the process being killed; a crash of the whole
  // system may lose the last commits but never leaves the file
  // inconsistent, and commits do not wait for the disk. Readers and the
  // writer do not block each other.
  if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;",
            error)) {
    if (error && sqlite3_errcode(writer_->db()) == SQLITE_BUSY) {
      *error = file_.string() + " is in use by another process";
    }
    return false;
  }
  int version = 0;
  {
    Statement st(db, "PRAGMA user_version");
    if (st.step() == SQLITE_ROW) version = static_cast<int>(st.integer(0));
  }
  if (version > kSchemaVersion) {
    if (error) *error = "database schema " + std::to_string(version) + " is newer than this server";
    return false;
  }
  // Each step brings the schema from its version to the next, in one
  // transaction, so a file is always at one whole version.
  const char* steps[] = {kSchemaV1, kSchemaV2, kSchemaV3, kSchemaV4};
  for (int next = version + 1; next <= kSchemaVersion; ++next) {
    if (!exec("BEGIN", error)) return false;
    std::string setVersion = "PRAGMA user_version = " + std::to_string(next);
    if (!exec(steps[next - 1], error) || !exec(setVersion.c_str(), error)) {
      exec("ROLLBACK");
      return false;
    }
    if (!exec("COMMIT", error)) return false;
  }
  {
    Statement st(db, "SELECT value FROM meta WHERE key = 'secret'");
    if (st.step() == SQLITE_ROW) secret_ = st.text(0);
  }
  if (secret_.empty()) {
    secret_ = crypto::randomToken(32);
    Statement st(db, "INSERT INTO meta (key, value) VALUES ('secret', ?)");
    if (!st.bind(1, secret_).run()) {
      if (error) *error = sqlite3_errmsg(db.db());
      return false;
    }
  }
  return true;
}

// --- accounts ------------------------------------------------------------

bool Store::seedAccount(std::int64_t userId, const std::string& loginName,
                        const std::string& password, const AccountOptions& options,
                        std::string* error) {
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  if (userId <= 0) return fail("user id must be positive");
  if (loginName.empty() || password.empty()) return fail("login name and password are required");
  if (options.needsTwoStep && options.twoStepCode.empty())
    return fail("a two-step account needs its code");
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  {
    Statement st(db, "SELECT user_id FROM accounts WHERE login_name = ? AND user_id <> ?");
    st.bindAll(loginName, userId);
    if (st.step() == SQLITE_ROW) return fail("login name already taken: " + loginName);
  }
  std::string cUserId;
  {
    Statement st(db, "SELECT c_user_id FROM accounts WHERE user_id = ?");
    st.bind(1, userId);
    if (st.step() == SQLITE_ROW) cUserId = st.text(0);
  }
  if (cUserId.empty()) cUserId = crypto::randomToken(16);
  Statement st(db,
               "INSERT OR REPLACE INTO accounts (user_id, login_name, password_hash, c_user_id, "
               "needs_captcha, needs_two_step, two_step_code, needs_phone, phone, blocked) "
               "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  st.bindAll(userId, loginName, crypto::md5HexUpper(password), cUserId, options.needsCaptcha,
             options.needsTwoStep, options.twoStepCode, options.needsPhoneVerification,
             options.phone, options.blocked);
  if (!st.run()) return fail(sqlite3_errmsg(db.db()));
  return true;
}

std::optional<Account> Store::accountWhere(SqlConnection& db, const char* whereSql,
                                           const std::string& value) {
  std::string sql =
      "SELECT user_id, login_name, password_hash, c_user_id, needs_captcha, needs_two_step, "
      "two_step_code, needs_phone, phone, blocked FROM accounts WHERE ";
  sql += whereSql;
  Statement st(db, sql);
  st.bind(1, value);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  Account account;
  account.userId = st.integer(0);
  account.loginName = st.text(1);
  account.passwordHash = st.text(2);
  account.cUserId = st.text(3);
  account.options.needsCaptcha = st.integer(4) != 0;
  account.options.needsTwoStep = st.integer(5) != 0;
  account.options.twoStepCode = st.text(6);
  account.options.needsPhoneVerification = st.integer(7) != 0;
  account.options.phone = st.text(8);
  account.options.blocked = st.integer(9) != 0;
  return account;
}

std::optional<Account> Store::findAccount(const std::string& user) {
  if (user.empty()) return std::nullopt;
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  // A login name wins over a user id written the same way.
  if (auto account = accountWhere(db, "login_name = ?", user)) return account;
  bool numeric = std::all_of(user.begin(), user.end(),
                             [](unsigned char c) { return std::isdigit(c) != 0; });
  if (!numeric || user.size() > 18) return std::nullopt;
  return accountWhere(db, "user_id = CAST(? AS INTEGER)", user);
}

std::optional<Account> Store::accountById(std::int64_t userId) {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  return accountWhere(db, "user_id = CAST(? AS INTEGER)", std::to_string(userId));
}

// --- pass tokens ---------------------------------------------------------

std::string Store::issuePassToken(std::int64_t userId, const std::string& deviceId) {
  std::string token = crypto::randomToken(32);
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db,
               "INSERT INTO pass_tokens (token, user_id, device_id, created_at) VALUES (?, ?, ?, ?)");
  st.bindAll(token, userId, deviceId, nowSeconds());
  if (!st.run()) return {};
  if (execute(db, kTrimPassTokens, userId, kMaxPassTokensPerUser) > 0) {
    execute(db, kDropOrphanGrants, userId);
  }
  return token;
}

std::optional<std::int64_t> Store::passTokenOwner(const std::string& token) {
  if (token.empty()) return std::nullopt;
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT user_id FROM pass_tokens WHERE token = ? AND revoked = 0");
  st.bind(1, token);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.integer(0);
}

void Store::revokePassTokens(std::int64_t userId) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "UPDATE pass_tokens SET revoked = 1 WHERE user_id = ?");
  st.bind(1, userId).run();
}

// --- login grants --------------------------------------------------------

LoginGrant Store::createLoginGrant(std::int64_t userId, const std::string& serviceId,
                                   const std::string& passToken) {
  LoginGrant grant;
  grant.userId = userId;
  grant.serviceId = serviceId;
  grant.passToken = passToken;
  grant.ssecurity = crypto::base64Encode(crypto::randomBytes(16));
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  // Nonces are the grants' keys; a clash with an older one just draws again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    grant.nonce = crypto::randomPositiveInt64();
    Statement st(db,
                 "INSERT INTO login_grants (nonce, ssecurity, user_id, service_id, pass_token, "
                 "created_at, seq) VALUES (?1, ?2, ?3, ?4, ?5, ?6, (SELECT COALESCE(MAX(seq), 0) "
                 "+ 1 FROM login_grants WHERE pass_token = ?5))");
    st.bindAll(grant.nonce, grant.ssecurity, userId, serviceId, passToken, nowSeconds());
    if (st.run()) {
      execute(db, kTrimGrants, passToken, kMaxGrantsPerPassToken);
      return grant;
    }
  }
  grant.nonce = 0;
  return grant;
}

std::optional<LoginGrant> Store::findLoginGrant(std::int64_t nonce) {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db,
               "SELECT ssecurity, user_id, service_id, pass_token, used FROM login_grants "
               "WHERE nonce = ?");
  st.bind(1, nonce);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  LoginGrant grant;
  grant.nonce = nonce;
  grant.ssecurity = st.text(0);
  grant.userId = st.integer(1);
  grant.serviceId = st.text(2);
  grant.passToken = st.text(3);
  grant.used = st.integer(4) != 0;
  return grant;
}

bool Store::consumeLoginGrant(std::int64_t nonce) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "UPDATE login_grants SET used = 1 WHERE nonce = ? AND used = 0");
  st.bind(1, nonce);
  return st.run() && sqlite3_changes(db.db()) == 1;
}

std::vector<std::string> Store::securityKeysOfPassToken(const std::string& passToken) {
  std::vector<std::string> keys;
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT ssecurity FROM login_grants WHERE pass_token = ? ORDER BY seq DESC");
  st.bind(1, passToken);
  while (st.step() == SQLITE_ROW) keys.push_back(st.text(0));
  return keys;
}

// --- service tokens ------------------------------------------------------

std::string Store::issueServiceToken(const LoginGrant& grant) {
  std::string token = crypto::randomToken(32);
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db,
               "INSERT INTO service_tokens (token, user_id, service_id, ssecurity, pass_token, "
               "created_at) VALUES (?, ?, ?, ?, ?, ?)");
  st.bindAll(token, grant.userId, grant.serviceId, grant.ssecurity, grant.passToken, nowSeconds());
  if (!st.run()) return {};
  execute(db, kTrimServiceTokens, grant.userId, grant.serviceId, kMaxServiceTokensPerService);
  return token;
}

std::optional<ServiceTokenInfo> Store::lookupServiceToken(const std::string& token) {
  if (token.empty()) return std::nullopt;
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db,
               "SELECT s.user_id, s.service_id, s.ssecurity, s.pass_token, COALESCE(p.device_id, '') "
               "FROM service_tokens s LEFT JOIN pass_tokens p ON p.token = s.pass_token "
               "WHERE s.token = ? AND s.revoked = 0");
  st.bind(1, token);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  ServiceTokenInfo info{st.integer(0), st.text(1), st.text(2), st.text(4)};
  if (info.device.empty()) info.device = st.text(3).empty() ? "service:" + token : "pass:" + st.text(3);
  return info;
}

void Store::revokeServiceTokens(std::int64_t userId, const std::string& serviceId) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  if (serviceId.empty()) {
    Statement st(db, "UPDATE service_tokens SET revoked = 1 WHERE user_id = ?");
    st.bind(1, userId).run();
  } else {
    Statement st(db, "UPDATE service_tokens SET revoked = 1 WHERE user_id = ? AND service_id = ?");
    st.bindAll(userId, serviceId).run();
  }
}

bool Store::revokeServiceToken(const std::string& token) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "UPDATE service_tokens SET revoked = 1 WHERE token = ? AND revoked = 0");
  st.bind(1, token);
  return st.run() && sqlite3_changes(db.db()) == 1;
}

// --- relocation ----------------------------------------------------------

std::string Store::hostList() {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT value FROM meta WHERE key = 'host_list'");
  return st.step() == SQLITE_ROW ? st.text(0) : std::string("{}");
}

bool Store::setHostList(const std::string& json) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "INSERT OR REPLACE INTO meta (key, value) VALUES ('host_list', ?)");
  return st.bind(1, json).run();
}

// --- captchas ------------------------------------------------------------

std::string Store::createCaptcha(std::string* code) {
  std::string ick = crypto::randomToken(18);
  std::string text = crypto::randomDigits(5);
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "INSERT INTO captchas (ick, code, created_at) VALUES (?, ?, ?)");
  st.bindAll(ick, text, nowSeconds());
  if (!st.run()) return {};
  execute(db, kTrimCaptchas, kMaxCaptchas);
  if (code) *code = text;
  return ick;
}

std::optional<std::string> Store::captchaCode(const std::string& ick) {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT code FROM captchas WHERE ick = ? AND used = 0");
  st.bind(1, ick);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.text(0);
}

std::optional<std::string> Store::lastCaptchaCode() {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT code FROM captchas WHERE used = 0 ORDER BY rowid DESC LIMIT 1");
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return st.text(0);
}

bool Store::consumeCaptcha(const std::vector<std::string>& icks, const std::string& code) {
  bool matched = false;
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  for (const auto& ick : icks) {
    Statement find(db, "SELECT code FROM captchas WHERE ick = ? AND used = 0");
    find.bind(1, ick);
    if (find.step() != SQLITE_ROW) continue;
    if (!code.empty() && lower(find.text(0)) == lower(code)) matched = true;
    execute(db, "DELETE FROM captchas WHERE ick = ?", ick);
  }
  return matched;
}

// --- pending steps -------------------------------------------------------

PendingStep Store::createPendingStep(PendingStep::Kind kind, std::int64_t userId,
                                     const std::string& serviceId, const std::string& callback,
                                     const std::string& deviceId) {
  PendingStep step;
  step.ticket = crypto::randomToken(18);
  step.kind = kind;
  step.userId = userId;
  step.serviceId = serviceId;
  step.callback = callback;
  step.deviceId = deviceId;
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db,
               "INSERT INTO pending_steps (ticket, kind, user_id, service_id, callback, device_id, "
               "created_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
  st.bindAll(step.ticket, kindName(kind), userId, serviceId, callback, deviceId, nowSeconds());
  if (!st.run()) {
    step.ticket.clear();
    return step;
  }
  execute(db, kTrimPendingSteps, userId, kMaxPendingStepsPerUser);
  return step;
}

std::optional<PendingStep> Store::pendingWhere(SqlConnection& db, const char* tailSql,
                                              const std::string& value) {
  std::string sql =
      "SELECT ticket, kind, user_id, service_id, callback, device_id, sms_code, sms_sent, state "
      "FROM pending_steps ";
  sql += tailSql;
  Statement st(db, sql);
  st.bind(1, value);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  PendingStep step;
  step.ticket = st.text(0);
  step.kind = st.text(1) == "phone" ? PendingStep::Kind::Phone : PendingStep::Kind::TwoStep;
  step.userId = st.integer(2);
  step.serviceId = st.text(3);
  step.callback = st.text(4);
  step.deviceId = st.text(5);
  step.smsCode = st.text(6);
  step.smsSent = static_cast<int>(st.integer(7));
  step.state = static_cast<PendingStep::State>(std::clamp<std::int64_t>(st.integer(8), 0, 2));
  return step;
}

std::optional<PendingStep> Store::pendingStep(const std::string& ticket) {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  return pendingWhere(db, "WHERE ticket = ?", ticket);
}

std::optional<PendingStep> Store::latestPhoneStep(std::int64_t userId) {
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  return pendingWhere(
      db, "WHERE user_id = CAST(? AS INTEGER) AND kind = 'phone' AND state <> 2 "
      "ORDER BY rowid DESC LIMIT 1",
      std::to_string(userId));
}

bool Store::updatePendingStep(const PendingStep& step) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db,
               "UPDATE pending_steps SET sms_code = ?, sms_sent = ?, state = ? WHERE ticket = ?");
  st.bindAll(step.smsCode, step.smsSent, static_cast<int>(step.state), step.ticket);
  return st.run() && sqlite3_changes(db.db()) == 1;
}

bool Store::advancePendingStep(const std::string& ticket, PendingStep::State from,
                               PendingStep::State to) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "UPDATE pending_steps SET state = ? WHERE ticket = ? AND state = ?");
  st.bindAll(static_cast<int>(to), ticket, static_cast<int>(from));
  return st.run() && sqlite3_changes(db.db()) == 1;
}

bool Store::recordSmsCode(const std::string& ticket, const std::string& code, int maxSent) {
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db,
               "UPDATE pending_steps SET sms_code = ?, sms_sent = sms_sent + 1 "
               "WHERE ticket = ? AND state = ? AND sms_sent < ?");
  st.bindAll(code, ticket, static_cast<int>(PendingStep::State::Open), maxSent);
  return st.run() && sqlite3_changes(db.db()) == 1;
}

// --- trusted devices -----------------------------------------------------

void Store::trustDevice(std::int64_t userId, const std::string& deviceId) {
  if (deviceId.empty()) return;
  Access access(*this, Access::Mode::Write);
  SqlConnection& db = access.connection();
  Statement st(db, "INSERT OR IGNORE INTO trusted_devices (user_id, device_id) VALUES (?, ?)");
  if (st.bindAll(userId, deviceId).run()) {
    execute(db, kTrimTrustedDevices, userId, kMaxTrustedDevicesPerUser);
  }
}

bool Store::isTrustedDevice(std::int64_t userId, const std::string& deviceId) {
  if (deviceId.empty()) return false;
  Access access(*this, Access::Mode::Read);
  SqlConnection& db = access.connection();
  Statement st(db, "SELECT 1 FROM trusted_devices WHERE user_id = ? AND device_id = ?");
  st.bindAll(userId, deviceId);
  return st.step() == SQLITE_ROW;
}

}  // namespace localcloud
