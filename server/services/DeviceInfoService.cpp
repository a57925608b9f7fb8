#include "server/services/DeviceInfoService.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

// "userId" must name the caller: one user cannot read or write another's
// devices.
std::optional<SignedReply> checkUser(const SignedRequest& req) {
  auto userId = req.param("userId");
  if (!userId) return SignedReply::error(cloudcode::kBadRequest, "userId is missing");
  if (*userId != std::to_string(req.userId)) {
    return SignedReply::error(cloudcode::kForbidden, "userId is not the caller");
  }
  return std::nullopt;
}

bool validSettings(const Json& settings) {
  if (!settings.is_array()) return false;
  for (const Json& item : settings) {
    if (!item.is_object() || !item.contains("name") || !item["name"].is_string()) return false;
  }
  return true;
}

// The settings of the given names, in the order of the names, each the
// first setting of its name; one pass over the settings and one over the
// names.
Json pick(Json settings, const Json& names) {
  std::unordered_map<std::string, const Json*> byName;
  for (const Json& item : settings) {
    auto name = item.find("name");  // end() for an item that is no object
    if (name != item.end() && name->is_string()) {
      byName.try_emplace(name->get_ref<const std::string&>(), &item);
    }
  }
  Json picked = Json::array();
  for (const Json& name : names) {
    auto found = byName.find(name.get_ref<const std::string&>());
    if (found != byName.end()) picked.push_back(*found->second);
  }
  return picked;
}

}  // namespace

void DeviceInfoService::registerOn(SignedEndpoints& endpoints) {
  endpoints.post(kRegisterPath, kServiceId,
                 std::bind_front(&DeviceInfoService::registerDevice, this));
  endpoints.get(kListPath, kServiceId, std::bind_front(&DeviceInfoService::listDevices, this));
}

SignedReply DeviceInfoService::registerDevice(const SignedRequest& req) {
  if (auto refused = checkUser(req)) return *refused;
  auto devId = req.param("devId");
  if (!devId || devId->empty() || devId->size() > kMaxDevIdLength) {
    return SignedReply::error(cloudcode::kBadRequest, "devId is missing or too long");
  }
  std::string content = req.param("content").value_or("");
  Json settings = http::parseJson(content);
  if (content.size() > kMaxContentBytes || !validSettings(settings)) {
    return SignedReply::error(cloudcode::kBadRequest, "content must be a short list of name/value");
  }
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlStatement st(access.connection(),
                  "INSERT OR REPLACE INTO device_settings (user_id, dev_id, content, updated_at) "
                  "VALUES (?, ?, ?, ?)");
  st.bindAll(req.userId, *devId, settings.dump(-1, ' ', false, Json::error_handler_t::replace),
             http::nowMs());
  if (!st.run()) return SignedReply::error(cloudcode::kServerError, "cannot store the device");
  // A replaced row is inserted anew, so rowid order is the order of the
  // latest registrations: the devices past the limit are the stalest.
  SqlStatement trim(access.connection(),
                    "DELETE FROM device_settings WHERE user_id = ?1 AND rowid <= (SELECT rowid "
                    "FROM device_settings WHERE user_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)");
  trim.bindAll(req.userId, kMaxDevicesPerUser).run();
  return SignedReply::ok();
}

SignedReply DeviceInfoService::listDevices(const SignedRequest& req) {
  if (auto refused = checkUser(req)) return *refused;
  std::optional<Json> meta;
  if (auto text = req.param("meta")) {
    meta = http::parseJson(*text);
    bool names = meta->is_array() &&
                 std::all_of(meta->begin(), meta->end(), [](const Json& n) { return n.is_string(); });
    if (!names) return SignedReply::error(cloudcode::kBadRequest, "meta must be a list of names");
  }
  // The rows are copied out and the read connection given back before
  // the settings are parsed and filtered.
  std::vector<std::pair<std::string, std::string>> rows;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(),
                    "SELECT dev_id, content FROM device_settings WHERE user_id = ? "
                    "ORDER BY updated_at DESC, dev_id");
    st.bind(1, req.userId);
    while (st.step() == SQLITE_ROW) rows.emplace_back(st.text(0), st.text(1));
  }
  Json list = Json::array();
  for (auto& [devId, content] : rows) {
    Json stored = Json::parse(content, nullptr, false);
    if (!stored.is_array()) stored = Json::array();
    list.push_back(Json{{"devId", std::move(devId)},
                        {"setting", meta ? pick(std::move(stored), *meta) : std::move(stored)}});
  }
  return SignedReply::ok(Json{{"list", list}});
}

}  // namespace localcloud
