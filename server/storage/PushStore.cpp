#include "server/storage/PushStore.h"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {
namespace {

using Json = nlohmann::json;

// Today's UTC date as the counters name it ("20150301").
std::string today() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  return fmt::format("{:04}{:02}{:02}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
}

std::vector<std::string> names(SqlConnection& db, const std::string& regid, const char* kind) {
  std::vector<std::string> out;
  SqlStatement st(db, "SELECT name FROM push_names WHERE regid = ? AND kind = ? ORDER BY seq");
  st.bindAll(regid, kind);
  while (st.step() == SQLITE_ROW) out.push_back(st.text(0));
  return out;
}

constexpr const char* kRegistrationColumns =
    "SELECT regid, regsecret, regat, env, app_id, user_id, device_token, resource_id FROM push_registrations";

PushRegistration readRegistration(SqlConnection& db, SqlStatement& st) {
  PushRegistration reg;
  reg.regid = st.text(0);
  reg.regsecret = st.text(1);
  reg.regat = st.integer(2);
  reg.env = st.text(3);
  reg.appId = st.text(4);
  reg.userId = st.integer(5);
  reg.deviceToken = st.text(6);
  reg.resourceId = st.text(7);
  reg.aliases = names(db, reg.regid, "alias");
  reg.topics = names(db, reg.regid, "topic");
  return reg;
}

void dropIn(SqlConnection& db, const std::string& regid) {
  runSql(db, "DELETE FROM push_names WHERE regid = ?", regid);
  runSql(db, "DELETE FROM push_registrations WHERE regid = ?", regid);
}

}  // namespace

std::string PushReceived::field(const std::string& name) const {
  return http::fieldValue(fields, name).value_or("");
}

bool PushReceived::has(const std::string& name) const { return http::fieldValue(fields, name).has_value(); }

PushStore::PushStore(Store& store) : store_(store) {
  store_.createTables("push service",
                      "CREATE TABLE IF NOT EXISTS push_apps (app_id TEXT PRIMARY KEY, app_key TEXT NOT NULL,"
                      " package_name TEXT NOT NULL, secret_ios TEXT NOT NULL, secret_android TEXT NOT NULL);"
                      "CREATE TABLE IF NOT EXISTS push_users (user_id INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " env TEXT NOT NULL, app_id TEXT NOT NULL, dev_id TEXT NOT NULL, model TEXT NOT NULL,"
                      " platform TEXT NOT NULL, ssecurity TEXT NOT NULL, token TEXT NOT NULL,"
                      " UNIQUE (env, app_id, dev_id));"
                      "CREATE TABLE IF NOT EXISTS push_registrations (regid TEXT PRIMARY KEY, regsecret TEXT NOT NULL,"
                      " regat INTEGER NOT NULL, env TEXT NOT NULL, app_id TEXT NOT NULL, user_id INTEGER NOT NULL,"
                      " device_token TEXT NOT NULL, resource_id TEXT NOT NULL);"
                      "CREATE TABLE IF NOT EXISTS push_names (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " regid TEXT NOT NULL, kind TEXT NOT NULL, name TEXT NOT NULL, UNIQUE (regid, kind, name));"
                      "CREATE TABLE IF NOT EXISTS push_messages (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " env TEXT NOT NULL, app_id TEXT NOT NULL, platform TEXT NOT NULL, target_kind TEXT NOT NULL,"
                      " targets TEXT NOT NULL, fields TEXT NOT NULL, day TEXT NOT NULL);"
                      "CREATE TABLE IF NOT EXISTS push_received (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " env TEXT NOT NULL, method TEXT NOT NULL, path TEXT NOT NULL, fields TEXT NOT NULL,"
                      " authorization TEXT NOT NULL, code INTEGER NOT NULL);");
}

bool PushStore::addApp(const PushApp& app, std::string* error) {
  auto fail = [error](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (app.appId.empty() || app.appKey.empty() || app.packageName.empty() || app.secretIOS.empty() ||
      app.secretAndroid.empty()) {
    return fail("every member of an app must be non-empty");
  }
  if (app.secretIOS == app.secretAndroid) return fail("the two secrets must differ");
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlStatement clash(db,
                     "SELECT 1 FROM push_apps WHERE app_id <> ? AND (secret_ios IN (?, ?) OR secret_android IN (?, ?))");
  clash.bindAll(app.appId, app.secretIOS, app.secretAndroid, app.secretIOS, app.secretAndroid);
  if (clash.step() == SQLITE_ROW) return fail("another app holds that secret");
  if (!runSql(db, "INSERT OR REPLACE INTO push_apps VALUES (?, ?, ?, ?, ?)", app.appId, app.appKey, app.packageName,
              app.secretIOS, app.secretAndroid)) {
    return fail("storage failure");
  }
  return true;
}

std::optional<PushApp> PushStore::app(const std::string& appId) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT app_id, app_key, package_name, secret_ios, secret_android"
                                       " FROM push_apps WHERE app_id = ?");
  st.bindAll(appId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return PushApp{st.text(0), st.text(1), st.text(2), st.text(3), st.text(4)};
}

std::optional<std::pair<PushApp, std::string>> PushStore::appBySecret(const std::string& secret) {
  if (secret.empty()) return std::nullopt;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT app_id, app_key, package_name, secret_ios, secret_android"
                                       " FROM push_apps WHERE secret_ios = ? OR secret_android = ?");
  st.bindAll(secret, secret);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  PushApp found{st.text(0), st.text(1), st.text(2), st.text(3), st.text(4)};
  std::string platform = crypto::constantTimeEquals(found.secretIOS, secret) ? "ios" : "android";
  return std::make_pair(std::move(found), platform);
}

std::optional<PushUser> PushStore::registerUser(const std::string& env, const std::string& appId,
                                                const std::string& devId, const std::string& model,
                                                const std::string& platform) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  runSql(db,
         "INSERT INTO push_users (env, app_id, dev_id, model, platform, ssecurity, token)"
         " VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (env, app_id, dev_id) DO UPDATE SET model = excluded.model,"
         " platform = excluded.platform",
         env, appId, devId, model, platform, crypto::randomToken(16), crypto::randomToken(16));
  SqlStatement st(db, "SELECT user_id, ssecurity, token FROM push_users WHERE env = ? AND app_id = ? AND dev_id = ?");
  st.bindAll(env, appId, devId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return PushUser{st.integer(0), st.text(1), st.text(2)};
}

bool PushStore::hasUser(const std::string& env, const std::string& appId, std::int64_t userId) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT 1 FROM push_users WHERE env = ? AND app_id = ? AND user_id = ?");
  st.bindAll(env, appId, userId);
  return st.step() == SQLITE_ROW;
}

PushStore::BindStatus PushStore::bind(const std::string& env, const std::string& appId, std::int64_t userId,
                                      const std::string& deviceToken, const std::string& resourceId,
                                      const std::string& regid, PushRegistration& bound) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction transaction(db, SqlTransaction::Mode::Write);
  std::string id = regid;
  if (!id.empty()) {
    SqlStatement mine(db, "SELECT 1 FROM push_registrations WHERE regid = ? AND env = ? AND app_id = ? AND user_id = ?");
    mine.bindAll(id, env, appId, userId);
    if (mine.step() != SQLITE_ROW) return BindStatus::UnknownRegistration;
  }
  // A device token belongs to one registration.
  std::vector<std::string> holders;
  {
    SqlStatement st(db, "SELECT regid FROM push_registrations WHERE env = ? AND app_id = ? AND device_token = ?"
                        " AND regid <> ?");
    st.bindAll(env, appId, deviceToken, id);
    while (st.step() == SQLITE_ROW) holders.push_back(st.text(0));
  }
  for (const auto& holder : holders) dropIn(db, holder);
  bool stored;
  if (id.empty()) {
    id = "R" + crypto::hexEncode(crypto::randomBytes(12));
    stored = runSql(db, "INSERT INTO push_registrations VALUES (?, ?, ?, ?, ?, ?, ?, ?)", id,
                    crypto::hexEncode(crypto::randomBytes(16)), http::nowMs(), env, appId, userId, deviceToken, resourceId);
  } else {
    stored = runSql(db, "UPDATE push_registrations SET device_token = ?, resource_id = ? WHERE regid = ?",
                    deviceToken, resourceId, id);
  }
  if (!stored) return BindStatus::Failed;
  SqlStatement st(db, fmt::format("{} WHERE regid = ?", kRegistrationColumns));
  st.bindAll(id);
  if (st.step() != SQLITE_ROW) return BindStatus::Failed;
  bound = readRegistration(db, st);
  return transaction.commit() ? BindStatus::Bound : BindStatus::Failed;
}

std::optional<PushRegistration> PushStore::registration(const std::string& env, const std::string& appId,
                                                        const std::string& regid) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), fmt::format("{} WHERE regid = ? AND env = ? AND app_id = ?", kRegistrationColumns));
  st.bindAll(regid, env, appId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return readRegistration(access.connection(), st);
}

bool PushStore::drop(const std::string& regid) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlTransaction transaction(access.connection(), SqlTransaction::Mode::Write);
  dropIn(access.connection(), regid);
  return transaction.commit();
}

bool PushStore::setName(const std::string& regid, const std::string& kind, const std::string& name, bool present) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  if (!present) return runSql(db, "DELETE FROM push_names WHERE regid = ? AND kind = ? AND name = ?", regid, kind, name);
  SqlStatement count(db, "SELECT COUNT(*) FROM push_names WHERE regid = ? AND kind = ? AND name <> ?");
  count.bindAll(regid, kind, name);
  if (count.step() != SQLITE_ROW || count.integer(0) >= kMaxNamesPerRegistration) return false;
  return runSql(db, "INSERT OR IGNORE INTO push_names (regid, kind, name) VALUES (?, ?, ?)", regid, kind, name);
}

std::vector<PushRegistration> PushStore::registrations() {
  std::vector<PushRegistration> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), fmt::format("{} ORDER BY regat, regid", kRegistrationColumns));
  while (st.step() == SQLITE_ROW) out.push_back(readRegistration(access.connection(), st));
  return out;
}

std::optional<std::string> PushStore::recordMessage(const std::string& env, const std::string& appId,
                                                    const std::string& platform, const std::string& targetKind,
                                                    const std::string& targets, const Json& fields) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  if (!runSql(db,
              "INSERT INTO push_messages (env, app_id, platform, target_kind, targets, fields, day)"
              " VALUES (?, ?, ?, ?, ?, ?, ?)",
              env, appId, platform, targetKind, targets, http::jsonText(fields), today())) {
    return std::nullopt;
  }
  std::int64_t id = sqlite3_last_insert_rowid(db.db());
  runSql(db, "DELETE FROM push_messages WHERE id <= ?", id - kMaxKeptMessages);
  return "M" + std::to_string(id);
}

std::vector<std::pair<std::string, std::int64_t>> PushStore::counters(const std::string& env,
                                                                      const std::string& appId,
                                                                      const std::string& start,
                                                                      const std::string& end) {
  std::vector<std::pair<std::string, std::int64_t>> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT day, COUNT(*) FROM push_messages WHERE env = ? AND app_id = ? AND day BETWEEN ? AND ?"
                  " GROUP BY day ORDER BY day");
  st.bindAll(env, appId, start, end);
  while (st.step() == SQLITE_ROW) out.emplace_back(st.text(0), st.integer(1));
  return out;
}

void PushStore::journal(const PushReceived& request) {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  runSql(db, "INSERT INTO push_received (env, method, path, fields, authorization, code) VALUES (?, ?, ?, ?, ?, ?)",
         request.env, request.method, request.path, http::jsonText(http::fieldsToJson(request.fields)),
         request.authorization, request.code);
  runSql(db, "DELETE FROM push_received WHERE id <= ?",
         static_cast<std::int64_t>(sqlite3_last_insert_rowid(db.db())) - kMaxKeptRequests);
}

std::vector<PushReceived> PushStore::received(const std::string& path) {
  std::vector<PushReceived> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT id, env, method, path, fields, authorization, code FROM push_received"
                                       " WHERE ? = '' OR path = ? ORDER BY id");
  st.bindAll(path, path);
  while (st.step() == SQLITE_ROW) {
    PushReceived request;
    request.id = st.integer(0);
    request.env = st.text(1);
    request.method = st.text(2);
    request.path = st.text(3);
    request.fields = http::fieldsFromJson(http::parseJson(st.text(4)));
    request.authorization = st.text(5);
    request.code = static_cast<int>(st.integer(6));
    out.push_back(std::move(request));
  }
  return out;
}

void PushStore::clearReceived() {
  Store::Access access(store_, Store::Access::Mode::Write);
  runSql(access.connection(), "DELETE FROM push_received");
}

}  // namespace localcloud
