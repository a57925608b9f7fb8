#include "server/services/CrashFormCheck.h"

#include <algorithm>
#include <map>

#include "server/services/Crypto.h"

namespace localcloud {
bool isWholeNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> crashFormProblem(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::map<std::string, std::string> form(fields.begin(), fields.end());
  for (const char* name : {"app_id", "app_key", "device_os", "device_model", "app_version", "crash_exception_type",
                           "crash_callstack", "crash_exception_desc"}) {
    auto it = form.find(name);
    if (it == form.end() || it->second.empty()) return std::string("missing or empty: ") + name;
  }
  if (!form.contains("app_channel")) return std::string("missing: app_channel");
  auto device = form.find("device_uuid");
  if (device != form.end() && device->second.empty()) return std::string("empty: device_uuid");
  for (const char* name : {"app_start_time", "app_crash_time"}) {
    auto it = form.find(name);
    if (it == form.end() || !isWholeNumber(it->second)) return std::string("not whole milliseconds: ") + name;
  }
  const std::string& desc = form["crash_exception_desc"];
  const std::string digest = crypto::md5HexUpper(form["crash_callstack"]);
  if (desc.size() < digest.size() + 2 ||
      desc.compare(desc.size() - digest.size() - 1, std::string::npos, " " + digest) != 0) {
    return std::string("crash_exception_desc does not end with the digest of crash_callstack");
  }
  return std::nullopt;
}

}  // namespace localcloud
