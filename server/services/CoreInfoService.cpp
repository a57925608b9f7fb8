#include "server/services/CoreInfoService.h"

#include <sqlite3.h>

#include <functional>

#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

bool wholeNumber(const Json& value) { return value.is_number_integer() || value.is_number_unsigned(); }

// Why a profile cannot be stored; empty when it can.
std::string profileProblem(const Json& profile) {
  if (!profile.is_object()) return "the profile must be an object";
  for (const char* key : {"userName", "icon", "locale", "region"}) {
    auto it = profile.find(key);
    if (it == profile.end()) continue;
    if (!it->is_string() || it->get_ref<const std::string&>().size() > CoreInfoService::kMaxTextLength) {
      return std::string(key) + " must be a short text";
    }
  }
  auto addresses = profile.find("userAddresses");
  if (addresses == profile.end()) return {};
  if (!addresses->is_array() || addresses->size() > CoreInfoService::kMaxAddresses) {
    return "userAddresses must be a short list";
  }
  for (const Json& entry : *addresses) {
    if (!entry.is_object()) return "an address must be an object";
    auto address = entry.find("address");
    if (address == entry.end() || !address->is_string() || address->get_ref<const std::string&>().empty() ||
        address->get_ref<const std::string&>().size() > CoreInfoService::kMaxTextLength) {
      return "an address needs a short non-empty address text";
    }
    for (const char* key : {"verified", "addressType", "flags"}) {
      auto it = entry.find(key);
      if (it == entry.end() || !wholeNumber(*it) || it->get<std::int64_t>() < 0) {
        return std::string(key) + " must be a whole number of 0 or more";
      }
    }
    if (entry["verified"].get<std::int64_t>() > 1) return "verified must be 0 or 1";
  }
  return {};
}

}  // namespace

CoreInfoService::CoreInfoService(Store& store) : store_(store) {
  store_.createTables("core information service",
                      "CREATE TABLE IF NOT EXISTS core_profiles ("
                      " user_id INTEGER PRIMARY KEY, profile TEXT NOT NULL);");
}

void CoreInfoService::registerOn(SignedEndpoints& endpoints) {
  endpoints.get(kPath, kServiceId, std::bind_front(&CoreInfoService::coreInfo, this));
}

bool CoreInfoService::setProfile(std::int64_t userId, const Json& profile, std::string* error) {
  std::string problem = profileProblem(profile);
  if (problem.empty() && !store_.accountById(userId)) problem = "no such account";
  if (!problem.empty()) {
    if (error) *error = problem;
    return false;
  }
  Store::Access access(store_, Store::Access::Mode::Write);
  bool stored = SqlStatement(access.connection(), "INSERT OR REPLACE INTO core_profiles (user_id, profile) VALUES (?, ?)")
                    .bindAll(userId, profile.dump())
                    .run();
  if (!stored && error) *error = sqlite3_errmsg(access.connection().db());
  return stored;
}

SignedReply CoreInfoService::coreInfo(const SignedRequest& req) {
  auto userId = req.param("userId");
  if (!userId) return SignedReply::error(cloudcode::kBadRequest, "userId is missing");
  if (*userId != std::to_string(req.userId)) {
    return SignedReply::error(cloudcode::kForbidden, "userId is not the caller");
  }
  auto account = store_.accountById(req.userId);
  if (!account) return SignedReply::error(cloudcode::kNotFound, "no such account");

  Json profile;
  {
    Store::Access access(store_, Store::Access::Mode::Read);
    SqlStatement st(access.connection(), "SELECT profile FROM core_profiles WHERE user_id = ?");
    if (st.bind(1, req.userId).step() == SQLITE_ROW) profile = http::parseJson(st.text(0));
  }
  if (!profile.is_object()) {
    profile = Json{{"userName", account->loginName}, {"userAddresses", Json::array()}};
    if (!account->options.phone.empty()) {
      profile["userAddresses"].push_back(
          Json{{"address", account->options.phone}, {"verified", 1}, {"addressType", 1}, {"flags", 2}});
    }
  }
  Json data = Json{{"userId", req.userId}, {"userAddresses", profile.value("userAddresses", Json::array())}};
  for (const char* key : {"userName", "icon", "locale", "region"}) {
    if (profile.contains(key)) data[key] = profile[key];
  }
  return SignedReply::ok(std::move(data));
}

}  // namespace localcloud
