// The JSON form of the local cloud's admin API ("/_admin/..."): replies
// {"ok": ..., ...}, errors {"ok": false, "error"}, and the reading of
// request bodies, where a member of the wrong type is an error rather than
// a default. Shared by the CloudServer's admin routes and those of the
// services. Stateless; safe from any thread; nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "server/http/HttpUtil.h"

namespace localcloud::admin {

using Json = nlohmann::json;

inline void adminReply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

inline void adminError(httplib::Response& res, int status, const std::string& message) {
  adminReply(res, status, Json{{"ok", false}, {"error", message}});
}

// The request body as a JSON object; else a 400 reply and nullopt.
inline std::optional<Json> adminBody(const httplib::Request& req, httplib::Response& res) {
  Json body = http::parseJson(req.body);
  if (body.is_discarded() || !body.is_object()) {
    adminError(res, 400, "the body must be a JSON object");
    return std::nullopt;
  }
  return body;
}

// Reads an optional member of an admin body; a member of the wrong type is
// an error (reported through `ok`), and so is a number that is not whole or
// does not fit (it is not cut down to something else).
template <typename T>
T member(const Json& body, const char* name, T fallback, bool& ok) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return fallback;
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    if (it->is_number_unsigned()) {
      auto value = it->get<std::uint64_t>();
      if (std::in_range<T>(value)) return static_cast<T>(value);
    } else if (it->is_number_integer()) {
      auto value = it->get<std::int64_t>();
      if (std::in_range<T>(value)) return static_cast<T>(value);
    }
    ok = false;
    return fallback;
  } else {
    try {
      return it->get<T>();
    } catch (const Json::exception&) {
      ok = false;
      return fallback;
    }
  }
}

}  // namespace localcloud::admin
