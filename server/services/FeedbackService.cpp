#include "server/services/FeedbackService.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>

#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"
#include "server/services/SignedEndpoints.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

// The service's own copy of the key its clients sign fields with.
constexpr const char* kSignKey = "Rb7%mQ!xT^Lp93N*dwK_c4j-oy";
constexpr const char* kAppId = "3";
constexpr const char* kFilePart = "userfile";
constexpr const char* kFeedbackJsonType = "application/json; charset=utf-8";

const char* const kDeviceFields[] = {"appName", "appVersion", "deviceName", "model", "osVersion", "language"};
const char* const kReportFields[] = {"appName",  "appVersion", "deviceName", "model",  "osVersion",
                                     "language", "appId",      "timestamp",  "logFile"};

std::string dumpFeedback(const Json& body) { return body.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string lowerMd5(const std::string& text) {
  std::string hex = crypto::md5HexUpper(text);
  std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::tolower(c); });
  return hex;
}

// A JSON object text whose named members are all strings.
std::optional<Json> objectWithStrings(const std::string& text, const auto& names) {
  Json json = http::parseJson(text);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  for (const char* name : names) {
    auto it = json.find(name);
    if (it == json.end() || !it->is_string()) return std::nullopt;
  }
  return json;
}

void replyFeedbackPlain(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(dumpFeedback(body), kFeedbackJsonType);
}

void reply(httplib::Response& res, const std::string& security, int code,
           const std::string& description, Json extra = Json::object()) {
  Json body = std::move(extra);
  body["code"] = code;
  body["description"] = description;
  int status = code >= 400 && code < 600 ? code : 200;
  if (!SignedEndpoints::replyEncrypted(res, status, body, security)) replyFeedbackPlain(res, status, body);
}

}  // namespace

FeedbackService::FeedbackService(Store& store, std::filesystem::path directory,
                                 std::function<int()> port)
    : store_(store), directory_(std::move(directory)), port_(std::move(port)) {
  std::error_code ec;
  std::filesystem::create_directories(directory_, ec);
  store_.createTables("feedback service",
                      "CREATE TABLE IF NOT EXISTS feedback_uploads ("
                      " ticket TEXT PRIMARY KEY, user_id INTEGER NOT NULL, device_info TEXT NOT NULL,"
                      " state TEXT NOT NULL, zip_file TEXT NOT NULL DEFAULT '',"
                      " commit_text TEXT NOT NULL DEFAULT '', download_url TEXT NOT NULL DEFAULT '');"
                      "CREATE TABLE IF NOT EXISTS feedback_reports ("
                      " ticket TEXT NOT NULL, user_id INTEGER NOT NULL, data TEXT NOT NULL);");
}

void FeedbackService::registerOn(httplib::Server& server) {
  auto wrap = [this](void (FeedbackService::*handler)(const httplib::Request&, httplib::Response&)) {
    return [this, handler](const httplib::Request& req, httplib::Response& res) {
      (this->*handler)(req, res);
      record(req, res);
    };
  };
  server.Get(kRequestUploadPath, wrap(&FeedbackService::requestUpload));
  server.Post(std::string(kFilePathPrefix) + "([A-Za-z0-9_-]+)", wrap(&FeedbackService::receiveFile));
  server.Post(kCommitPath, wrap(&FeedbackService::commitUpload));
  server.Post(kReportPath, wrap(&FeedbackService::receiveReport));
}

std::optional<FeedbackService::Caller> FeedbackService::caller(const httplib::Request& req) const {
  auto users = http::cookies(req, "cUserId");
  for (const auto& token : http::cookies(req, "serviceToken")) {
    auto info = store_.lookupServiceToken(token);
    if (!info || info->serviceId != kServiceId) continue;
    auto account = store_.accountById(info->userId);
    if (!account || std::find(users.begin(), users.end(), account->cUserId) == users.end()) continue;
    return Caller{info->userId, info->ssecurity};
  }
  return std::nullopt;
}

std::optional<FeedbackService::Verified> FeedbackService::verify(const httplib::Request& req,
                                                                 httplib::Response& res,
                                                                 const std::string& payloadName) {
  auto who = caller(req);
  if (!who) {
    replyFeedbackPlain(res, 401, Json{{"code", 401}, {"description", "no valid cUserId and serviceToken"}});
    return std::nullopt;
  }
  std::map<std::string, std::string> sent;
  for (const auto& [name, value] : http::params(req)) {
    if (!sent.emplace(name, value).second) {
      reply(res, who->security, 400, "parameter sent twice: " + name);
      return std::nullopt;
    }
  }
  auto signature = sent.find("signature");
  if (signature == sent.end()) {
    reply(res, who->security, 403, "signature is missing");
    return std::nullopt;
  }
  std::string given = signature->second;
  sent.erase(signature);
  auto expected = crypto::requestSignature(req.method, req.path, sent, who->security);
  if (!expected || !crypto::constantTimeEquals(given, *expected)) {
    reply(res, who->security, 403, "signature mismatch");
    return std::nullopt;
  }
  std::map<std::string, std::string> fields;
  for (const auto& [name, value] : sent) {
    if (name.starts_with("_")) continue;
    auto plain = crypto::aesDecryptBase64(value, who->security);
    if (!plain) {
      reply(res, who->security, 400, "cannot decrypt " + name);
      return std::nullopt;
    }
    fields[name] = *plain;
  }
  auto payload = fields.find(payloadName);
  if (payload == fields.end() || fields["appId"] != kAppId) {
    reply(res, who->security, 400, payloadName + " or appId is missing");
    return std::nullopt;
  }
  if (!crypto::constantTimeEquals(fields["sign"], lowerMd5(kSignKey + payloadName + payload->second))) {
    reply(res, who->security, 403, "sign mismatch");
    return std::nullopt;
  }
  return Verified{*who, payload->second};
}

void FeedbackService::requestUpload(const httplib::Request& req, httplib::Response& res) {
  auto verified = verify(req, res, "request");
  if (!verified) return;
  const std::string& security = verified->caller.security;
  auto info = objectWithStrings(verified->payload, kDeviceFields);
  if (!info) return reply(res, security, 400, "request must hold the device information");
  std::string ticket = crypto::randomToken(18);
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    SqlStatement st(access.connection(),
                    "INSERT INTO feedback_uploads (ticket, user_id, device_info, state) "
                    "VALUES (?, ?, ?, 'requested')");
    if (!st.bindAll(ticket, verified->caller.userId, dumpFeedback(*info)).run()) {
      return reply(res, security, 500, "cannot record the upload");
    }
  }
  trimUploads(verified->caller.userId);
  std::string url = http::baseUrl(req, port_()) + kFilePathPrefix + ticket;
  reply(res, security, 0, "success", Json{{"uploadUrl", url}});
}

void FeedbackService::receiveFile(const httplib::Request& req, httplib::Response& res) {
  auto who = caller(req);
  if (!who) {
    return replyFeedbackPlain(res, 401, Json{{"code", 401}, {"description", "no valid cUserId and serviceToken"}});
  }
  std::string ticket = req.matches[1];
  auto upload = findUpload(ticket, who->userId);
  if (!upload || upload->state != "requested") {
    return replyFeedbackPlain(res, 404, Json{{"code", 404}, {"description", "no such upload"}});
  }
  if (!req.is_multipart_form_data() || !req.has_file(kFilePart) || req.files.count(kFilePart) != 1) {
    return replyFeedbackPlain(res, 400, Json{{"code", 400}, {"description", "one file part userfile is needed"}});
  }
  const auto& file = req.get_file_value(kFilePart);
  if (!file.content.starts_with("PK\x03\x04")) {
    return replyFeedbackPlain(res, 400, Json{{"code", 400}, {"description", "the file is no zip archive"}});
  }
  std::filesystem::path zip = directory_ / (ticket + ".zip");
  {
    std::ofstream out(zip, std::ios::binary | std::ios::trunc);
    out.write(file.content.data(), static_cast<std::streamsize>(file.content.size()));
    if (!out) return replyFeedbackPlain(res, 500, Json{{"code", 500}, {"description", "cannot store the file"}});
  }
  if (!setState(ticket, "requested", "uploaded", "zip_file", zip.string())) {
    return replyFeedbackPlain(res, 404, Json{{"code", 404}, {"description", "no such upload"}});
  }
  replyFeedbackPlain(res, 200, Json{{"fileId", ticket},
                            {"size", file.content.size()},
                            {"sha1", crypto::sha1Base64(file.content)}});
}

void FeedbackService::commitUpload(const httplib::Request& req, httplib::Response& res) {
  auto verified = verify(req, res, "commit");
  if (!verified) return;
  const std::string& security = verified->caller.security;
  std::string flat;
  for (char c : verified->payload) {
    if (c != '\r' && c != '\n') flat.push_back(c);
  }
  auto decoded = crypto::base64Decode(flat);
  Json receipt = decoded ? http::parseJson(*decoded) : Json(Json::value_t::discarded);
  if (!receipt.is_object() || !receipt.contains("fileId") || !receipt["fileId"].is_string()) {
    return reply(res, security, 400, "commit is no upload receipt");
  }
  std::string ticket = receipt["fileId"].get<std::string>();
  auto upload = findUpload(ticket, verified->caller.userId);
  if (!upload || upload->state != "uploaded") return reply(res, security, 404, "no such upload");
  std::string url = http::baseUrl(req, port_()) + kDownloadPathPrefix + ticket + ".zip";
  if (!setState(ticket, "uploaded", "committed", "commit_text", verified->payload) ||
      !setState(ticket, "committed", "committed", "download_url", url)) {
    return reply(res, security, 404, "no such upload");
  }
  reply(res, security, 0, "success", Json{{"downloadUrl", url}});
}

void FeedbackService::receiveReport(const httplib::Request& req, httplib::Response& res) {
  auto verified = verify(req, res, "data");
  if (!verified) return;
  const std::string& security = verified->caller.security;
  auto data = objectWithStrings(verified->payload, kReportFields);
  if (!data) return reply(res, security, 400, "data must hold the report fields");
  std::string logFile = (*data)["logFile"];
  std::string prefix = http::baseUrl(req, port_()) + kDownloadPathPrefix;
  std::string ticket = logFile.starts_with(prefix) && logFile.ends_with(".zip")
                           ? logFile.substr(prefix.size(), logFile.size() - prefix.size() - 4)
                           : std::string();
  auto upload = findUpload(ticket, verified->caller.userId);
  if (!upload || upload->state != "committed" || upload->downloadUrl != logFile) {
    return reply(res, security, 404, "logFile names no committed upload");
  }
  if (!setState(ticket, "committed", "reported")) return reply(res, security, 404, "already reported");
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    SqlStatement st(access.connection(), "INSERT INTO feedback_reports (ticket, user_id, data) VALUES (?, ?, ?)");
    if (!st.bindAll(ticket, verified->caller.userId, dumpFeedback(*data)).run()) {
      return reply(res, security, 500, "cannot record the report");
    }
  }
  reply(res, security, 0, "success");
}

std::optional<FeedbackService::Upload> FeedbackService::findUpload(const std::string& ticket,
                                                                  std::int64_t userId) {
  for (auto& upload : uploads()) {
    if (upload.ticket == ticket && upload.userId == userId) return upload;
  }
  return std::nullopt;
}

bool FeedbackService::setState(const std::string& ticket, const std::string& from,
                               const std::string& to, const std::string& column,
                               const std::string& value) {
  // `column` is one of this file's own column names, never client text.
  std::string sql = "UPDATE feedback_uploads SET state = ?1" +
                    (column.empty() ? std::string() : ", " + column + " = ?4") +
                    " WHERE ticket = ?2 AND state = ?3";
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlStatement st(access.connection(), sql.c_str());
  st.bindAll(to, ticket, from);
  if (!column.empty()) st.bind(4, value);
  return st.run() && sqlite3_changes(access.connection().db()) == 1;
}

void FeedbackService::trimUploads(std::int64_t userId) {
  std::vector<std::string> dropped;
  Store::Access access(store_, Store::Access::Mode::Write);
  {
    SqlStatement st(access.connection(),
                    "SELECT ticket, zip_file FROM feedback_uploads WHERE user_id = ? "
                    "ORDER BY rowid DESC LIMIT -1 OFFSET ?");
    st.bindAll(userId, kMaxUploadsPerUser);
    while (st.step() == SQLITE_ROW) {
      dropped.push_back(st.text(0));
      std::error_code ec;
      if (!st.text(1).empty()) std::filesystem::remove(st.text(1), ec);
    }
  }
  for (const auto& ticket : dropped) {
    SqlStatement(access.connection(), "DELETE FROM feedback_reports WHERE ticket = ?").bind(1, ticket).run();
    SqlStatement(access.connection(), "DELETE FROM feedback_uploads WHERE ticket = ?").bind(1, ticket).run();
  }
}

std::vector<FeedbackService::Upload> FeedbackService::uploads() {
  std::vector<Upload> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT ticket, user_id, device_info, state, zip_file, commit_text, download_url "
                  "FROM feedback_uploads ORDER BY rowid");
  while (st.step() == SQLITE_ROW) {
    out.push_back(Upload{st.text(0), st.integer(1), Json::parse(st.text(2), nullptr, false),
                         st.text(3), st.text(4), st.text(5), st.text(6)});
  }
  return out;
}

std::vector<FeedbackService::Report> FeedbackService::reports() {
  std::vector<Report> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT user_id, ticket, data FROM feedback_reports ORDER BY rowid");
  while (st.step() == SQLITE_ROW) {
    out.push_back(Report{st.integer(0), st.text(1), Json::parse(st.text(2), nullptr, false)});
  }
  return out;
}

void FeedbackService::record(const httplib::Request& req, const httplib::Response& res) {
  std::lock_guard<std::mutex> guard(journalMutex_);
  journal_.push_back(req.method + " " + req.path + " " + std::to_string(res.status));
  while (journal_.size() > kJournalSize) journal_.pop_front();
}

std::vector<std::string> FeedbackService::journal() const {
  std::lock_guard<std::mutex> guard(journalMutex_);
  return {journal_.begin(), journal_.end()};
}

void FeedbackService::clearJournal() {
  std::lock_guard<std::mutex> guard(journalMutex_);
  journal_.clear();
}

}  // namespace localcloud
