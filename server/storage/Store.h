// The local cloud's persistent state over one SQLite database file
// ("cloud.db" in the data directory): accounts, pass tokens, login grants
// (nonce and security key handed out by a login), service tokens, captchas,
// pending verification steps and trusted devices. The schema carries a
// version (PRAGMA user_version) and is created or upgraded on open. The
// cloud services keep their own tables in the same file and reach it
// through Store::Access (ContactStore, DeviceInfoService).
// What clients can make it keep (captchas, steps, tokens, grants, trusted
// devices) is bounded: past the limits below the oldest rows go.
//
// The file belongs to one process at a time: another process cannot open
// it while a Store holds it (open() fails), though other connections in
// the same process can.
//
// Ownership: owned by the CloudServer (or a test); its connections are
// closed with the object. Threading: the file is in WAL mode; reads run
// concurrently on a small pool of read-only connections, writes one at a
// time on the one writing connection, each committed before it returns, so
// a Store may be shared by all server threads and a read that starts after
// a write returned sees it; state changes that requests race for are single
// conditional updates. Failures: open() reports an error text; later SQL
// failures are reported as false / nullopt / empty.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace localcloud {

class SqlConnection;

// How an account behaves at password login.
struct AccountOptions {
  bool needsCaptcha = false;            // every password login needs a captcha
  bool needsTwoStep = false;            // a two-step code after the password
  std::string twoStepCode;              // the code that loginStep2 accepts
  bool needsPhoneVerification = false;  // SMS verification of the account phone
  std::string phone;                    // the account phone ("" = none bound)
  bool blocked = false;                 // the account is irregular: HTTP 403
};

struct Account {
  std::int64_t userId = 0;
  std::string loginName;
  std::string passwordHash;  // upper-case MD5 hex of the password
  std::string cUserId;       // the encrypted form of the user id
  AccountOptions options;
};

// What a login hands out before the service-token step.
struct LoginGrant {
  std::int64_t nonce = 0;
  std::string ssecurity;
  std::int64_t userId = 0;
  std::string serviceId;
  std::string passToken;
  bool used = false;
};

// What a signed cloud call is verified against.
struct ServiceTokenInfo {
  std::int64_t userId = 0;
  std::string serviceId;
  std::string ssecurity;
  // The device the token's session belongs to: the device id its sign-in
  // named, else ("pass:" and) its pass token, else ("service:" and) the
  // token itself. Two devices never share it.
  std::string device;
};

// A login waiting for a two-step code or a phone verification.
struct PendingStep {
  enum class Kind { TwoStep, Phone };
  enum class State { Open, Verified, Done };
  std::string ticket;
  Kind kind = Kind::TwoStep;
  std::int64_t userId = 0;
  std::string serviceId;
  std::string callback;
  std::string deviceId;
  std::string smsCode;
  int smsSent = 0;
  State state = State::Open;
};

class Store {
 public:
  static constexpr int kSchemaVersion = 4;

  // Limits on the rows clients make; past them the oldest rows are dropped.
  static constexpr int kMaxCaptchas = 256;                 // all sessions together
  static constexpr int kMaxPendingStepsPerUser = 16;
  static constexpr int kMaxPassTokensPerUser = 64;         // their login grants go with them
  static constexpr int kMaxGrantsPerPassToken = 32;
  static constexpr int kMaxServiceTokensPerService = 64;   // per user and service id
  static constexpr int kMaxTrustedDevicesPerUser = 32;
  // Read-only connections open at most at once; further reads wait for one.
  static constexpr std::size_t kMaxReaders = 16;

  // Opens (creating when needed) DIR/cloud.db. nullptr with *error set on
  // failure (unwritable directory, corrupt file, newer schema, a folder that
  // another process holds: refused at once, by an advisory lock on
  // DIR/cloud.lock held while the store is open).
  static std::unique_ptr<Store> open(const std::filesystem::path& dataDir,
                                     std::string* error = nullptr);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // --- accounts -------------------------------------------------------
  // Adds or replaces the account with this user id. Fails for a user id of
  // 0 or less, an empty login name or password, a login name that another
  // account holds, or a two-step account without a code.
  bool seedAccount(std::int64_t userId, const std::string& loginName,
                   const std::string& password, const AccountOptions& options = {},
                   std::string* error = nullptr);
  // By decimal user id or by login name.
  std::optional<Account> findAccount(const std::string& user);
  std::optional<Account> accountById(std::int64_t userId);

  // --- pass tokens ----------------------------------------------------
  std::string issuePassToken(std::int64_t userId, const std::string& deviceId);
  // The owner of a pass token that has not been revoked.
  std::optional<std::int64_t> passTokenOwner(const std::string& token);
  void revokePassTokens(std::int64_t userId);

  // --- login grants ---------------------------------------------------
  LoginGrant createLoginGrant(std::int64_t userId, const std::string& serviceId,
                              const std::string& passToken);
  std::optional<LoginGrant> findLoginGrant(std::int64_t nonce);
  // Marks the grant used; false when it is unknown or was used already.
  bool consumeLoginGrant(std::int64_t nonce);
  // Every security key handed out under this pass token.
  std::vector<std::string> securityKeysOfPassToken(const std::string& passToken);

  // --- service tokens -------------------------------------------------
  std::string issueServiceToken(const LoginGrant& grant);
  std::optional<ServiceTokenInfo> lookupServiceToken(const std::string& token);
  // Every token of the user, or only those of one service id.
  void revokeServiceTokens(std::int64_t userId, const std::string& serviceId = {});
  // One token; false when it is unknown or was revoked already.
  bool revokeServiceToken(const std::string& token);

  // --- relocation -----------------------------------------------------
  // The host list the relocation service hands out: a JSON object text
  // ("{}" until one is set).
  std::string hostList();
  bool setHostList(const std::string& json);

  // --- captchas -------------------------------------------------------
  // A new captcha: returns its session id (the "ick" cookie); *code gets the
  // expected text.
  std::string createCaptcha(std::string* code);
  std::optional<std::string> captchaCode(const std::string& ick);
  std::optional<std::string> lastCaptchaCode();
  // True when one of the sessions holds the code (case-insensitive). Every
  // given session's captcha is used up, right or wrong.
  bool consumeCaptcha(const std::vector<std::string>& icks, const std::string& code);

  // --- pending verification steps -----------------------------------
  PendingStep createPendingStep(PendingStep::Kind kind, std::int64_t userId,
                                const std::string& serviceId,
                                const std::string& callback, const std::string& deviceId);
  std::optional<PendingStep> pendingStep(const std::string& ticket);
  // The newest phone step of the user that is not done yet.
  std::optional<PendingStep> latestPhoneStep(std::int64_t userId);
  // Writes the step's code, count and state as they are in `step`.
  bool updatePendingStep(const PendingStep& step);
  // Moves the step from state `from` to `to`; false when it is unknown or
  // not in `from` (another request moved it first).
  bool advancePendingStep(const std::string& ticket, PendingStep::State from,
                          PendingStep::State to);
  // Records a newly sent SMS code on an open step that has sent fewer than
  // `maxSent` codes, counting it; false otherwise.
  bool recordSmsCode(const std::string& ticket, const std::string& code, int maxSent);

  // --- trusted devices ------------------------------------------------
  void trustDevice(std::int64_t userId, const std::string& deviceId);
  bool isTrustedDevice(std::int64_t userId, const std::string& deviceId);

  // --- the services' tables -------------------------------------------
  // Runs a service's table statements (each one that may run again, "IF
  // NOT EXISTS") on the writing connection. The first failure is kept with
  // `owner` and the database's message: CloudServer::create then refuses
  // to start.
  void createTables(const std::string& owner, const char* sql);
  // That failure; empty when every service's tables were made.
  std::string schemaError() const;

  // Server-wide secret for the signs the server makes itself ("_sign").
  const std::string& serverSecret() const { return secret_; }

  // Use of the database by the services' record stores: a read borrows one
  // of the read-only connections, a write holds the writing connection (and
  // so excludes every other write) for the Access's lifetime. Keep it short;
  // never hold two in one thread.
  class Access {
   public:
    enum class Mode { Read, Write };
    Access(Store& store, Mode mode);
    ~Access();
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    SqlConnection& connection() const { return *connection_; }

   private:
    Store& store_;
    Mode mode_;
    SqlConnection* connection_;
  };

 private:
  // The data folder's lock: closed last, after every connection.
  struct FolderLock {
    int fd = -1;
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();
  };

  // Takes the lock's descriptor.
  Store(int lockFd, std::unique_ptr<SqlConnection> writer, std::filesystem::path file);
  bool migrate(std::string* error);
  bool exec(const char* sql, std::string* error = nullptr);
  SqlConnection* borrowReader();
  void returnReader(SqlConnection* reader);

  std::optional<Account> accountWhere(SqlConnection& db, const char* whereSql,
                                      const std::string& value);
  std::optional<PendingStep> pendingWhere(SqlConnection& db, const char* tailSql,
                                         const std::string& value);

  FolderLock lock_;
  const std::filesystem::path file_;
  std::mutex writeMutex_;
  std::unique_ptr<SqlConnection> writer_;
  std::mutex readersMutex_;
  std::condition_variable readerReturned_;
  std::vector<std::unique_ptr<SqlConnection>> readers_;  // opened on demand, up to the cap
  std::vector<SqlConnection*> idleReaders_;
  std::string secret_;
  mutable std::mutex schemaMutex_;
  std::string schemaError_;
};

}  // namespace localcloud
