#include "server/DeviceInfoService.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "server/HttpUtil.h"
#include "server/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

std::int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

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
  Store::Access access(store_);
  SqlStatement st(access.db(),
                  "INSERT OR REPLACE INTO device_settings (user_id, dev_id, content, updated_at) "
                  "VALUES (?, ?, ?, ?)");
  st.bindAll(req.userId, *devId, settings.dump(-1, ' ', false, Json::error_handler_t::replace),
             nowMillis());
  if (!st.run()) return SignedReply::error(cloudcode::kServerError, "cannot store the device");
  // A replaced row is inserted anew, so rowid order is the order of the
  // latest registrations: the devices past the limit are the stalest.
  SqlStatement trim(access.db(),
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
  Json list = Json::array();
  Store::Access access(store_);
  SqlStatement st(access.db(),
                  "SELECT dev_id, content FROM device_settings WHERE user_id = ? "
                  "ORDER BY updated_at DESC, dev_id");
  st.bind(1, req.userId);
  while (st.step() == SQLITE_ROW) {
    Json stored = Json::parse(st.text(1), nullptr, false);
    if (!stored.is_array()) stored = Json::array();
    Json setting = Json::array();
    if (!meta) {
      setting = stored;
    } else {
      for (const Json& name : *meta) {
        for (const Json& item : stored) {
          if (item.is_object() && item.value("name", Json()) == name) {
            setting.push_back(item);
            break;
          }
        }
      }
    }
    list.push_back(Json{{"devId", st.text(0)}, {"setting", setting}});
  }
  return SignedReply::ok(Json{{"list", list}});
}

}  // namespace localcloud
