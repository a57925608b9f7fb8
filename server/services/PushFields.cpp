#include "server/services/PushFields.h"

#include <chrono>
#include <set>

#include "server/services/PushService.h"

namespace localcloud::pushfields {
namespace {

bool digits(const std::string& value, std::size_t from) {
  if (value.size() <= from || value.size() - from > 18) return false;
  for (std::size_t i = from; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
  }
  return true;
}

constexpr std::string_view kExtraPrefix = "extra.";

}  // namespace

std::optional<std::string> check(const http::FormFields& fields, const std::vector<Rule>& rules, bool extras) {
  std::set<std::string> seen;
  for (const auto& [field, value] : fields) {
    if (!seen.insert(field).second) return "field sent twice: " + field;
    if (extras && field.size() > kExtraPrefix.size() && field.starts_with(kExtraPrefix)) {
      if (!text(value)) return "malformed field: " + field;
      continue;
    }
    const Rule* rule = nullptr;
    for (const Rule& candidate : rules) {
      if (field == candidate.name) rule = &candidate;
    }
    if (!rule) return "unknown field: " + field;
    if (!rule->valid(value)) return "malformed field: " + field;
  }
  for (const Rule& rule : rules) {
    if (rule.required && !seen.count(rule.name)) return std::string("missing field: ") + rule.name;
  }
  return std::nullopt;
}

std::vector<Rule> messageRules(const std::string& platform, Rule target) {
  if (platform == "ios") return {target, {"description", false, text}, {"timeToLive", false, decimal}};
  return {target,
          {"title", false, text},
          {"description", false, text},
          {"time_to_live", false, decimal},
          {"collapse_key", false, text},
          {"payload", false, text},
          {"restricted_package_name", false, text},
          {"notify_type", false, signedDecimal},
          {"pass_through", false, zeroOrOne},
          {"notify_id", false, signedDecimal}};
}

bool text(const std::string& value) { return !value.empty() && value.size() <= 4096; }

bool name(const std::string& value) {
  return !value.empty() && value.size() <= 128 && value.find(',') == std::string::npos;
}

std::vector<std::string> split(const std::string& joined) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = joined.find(',', start);
    out.push_back(joined.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

bool targets(const std::string& value) {
  auto names = split(value);
  if (names.size() > PushService::kMaxTargets) return false;
  for (const auto& each : names) {
    if (!name(each)) return false;
  }
  return true;
}

bool decimal(const std::string& value) { return digits(value, 0); }

bool signedDecimal(const std::string& value) { return digits(value, !value.empty() && value[0] == '-' ? 1 : 0); }

bool hexToken(const std::string& value) {
  if (value.size() < 2 || value.size() > 256 || value.size() % 2 != 0) return false;
  for (char c : value) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool resourceId(const std::string& value) { return value.size() == 8 && value.starts_with("ip") && digits(value, 2); }

bool iosPlatform(const std::string& value) {
  if (value.size() <= 3 || value.size() > 16 || !value.starts_with("ios")) return false;
  for (std::size_t i = 3; i < value.size(); ++i) {
    if ((value[i] < '0' || value[i] > '9') && value[i] != '.') return false;
  }
  return true;
}

bool clickType(const std::string& value) { return value == "bar:click"; }

bool date(const std::string& value) {
  if (value.size() != 8 || !digits(value, 0)) return false;
  using namespace std::chrono;
  year_month_day day{year(std::stoi(value.substr(0, 4))), month(static_cast<unsigned>(std::stoi(value.substr(4, 2)))),
                     std::chrono::day(static_cast<unsigned>(std::stoi(value.substr(6, 2))))};
  return day.ok();
}

bool zeroOrOne(const std::string& value) { return value == "0" || value == "1"; }

}  // namespace localcloud::pushfields
