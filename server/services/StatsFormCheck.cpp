#include "server/services/StatsFormCheck.h"

#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "server/services/CrashFormCheck.h"
#include "server/http/HttpUtil.h"

namespace localcloud {
namespace {

using Json = nlohmann::json;
using Problem = std::optional<std::string>;

Problem requireNonEmpty(const std::map<std::string, std::string>& form, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    auto it = form.find(name);
    if (it == form.end() || it->second.empty()) return std::string("missing or empty: ") + name;
  }
  return std::nullopt;
}

bool nonEmptyText(const Json& object, const char* name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() && !it->get<std::string>().empty();
}

bool wholeText(const Json& object, const char* name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() && isWholeNumber(it->get<std::string>());
}

std::optional<Json> jsonArray(const std::map<std::string, std::string>& form, const char* name) {
  auto it = form.find(name);
  if (it == form.end()) return std::nullopt;
  Json value = http::parseJson(it->second);  // depth-limited, as all client JSON
  if (value.is_discarded() || !value.is_array()) return std::nullopt;
  return value;
}

Problem itemProblem(const std::string& category, const Json& item) {
  if (!item.is_object()) return "an item is not an object in " + category;
  if (category == "kostat_session") {
    if (!wholeText(item, "start") || !wholeText(item, "end")) return std::string("a session without start or end");
    return std::nullopt;
  }
  static const std::set<std::string> kTypes = {"property", "numeric", "event", "count"};
  if (!nonEmptyText(item, "key") || !nonEmptyText(item, "value")) return "an item without key or value in " + category;
  auto type = item.find("type");
  if (type == item.end() || !type->is_string() || !kTypes.contains(type->get<std::string>())) {
    return "an item of no known type in " + category;
  }
  auto params = item.find("params");
  if (params != item.end() && !params->is_object()) return std::string("params that are no object");
  return std::nullopt;
}

Problem categoryProblem(const Json& category) {
  if (!category.is_object() || !nonEmptyText(category, "category")) return std::string("a category without a name");
  const std::string name = category["category"].get<std::string>();
  auto values = category.find("values");
  if (values == category.end() || !values->is_array() || values->empty()) return "no values in " + name;
  if (name == "kostat_pv") {
    if (!nonEmptyText(category, "index")) return std::string("page views without an index");
    for (const auto& value : *values) {
      if (!value.is_string()) return std::string("page-view values that are no text");
    }
    return std::nullopt;
  }
  for (const auto& item : *values) {
    if (auto problem = itemProblem(name, item)) return problem;
  }
  return std::nullopt;
}

Problem sampleProblem(const Json& sample) {
  if (!sample.is_object()) return std::string("a sample is not an object");
  auto cost = sample.find("cost");
  auto code = sample.find("code");
  auto t = sample.find("t");
  if (cost == sample.end() || !cost->is_number_integer() || code == sample.end() || !code->is_number_integer() ||
      t == sample.end() || !t->is_number()) {
    return std::string("a sample without cost, t or code");
  }
  for (const char* name : {"net", "dns", "exception"}) {
    if (sample.contains(name) && !nonEmptyText(sample, name)) return std::string("empty sample field: ") + name;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> statsFormProblem(const FormFields& fields) {
  std::map<std::string, std::string> form(fields.begin(), fields.end());
  if (auto problem = requireNonEmpty(form, {"app_id", "app_key", "device_id", "version", "stat_value"})) return problem;
  auto channel = form.find("channel");
  if (channel != form.end() && channel->second.empty()) return std::string("empty: channel");
  auto list = jsonArray(form, "stat_value");
  if (!list || list->empty()) return std::string("stat_value is not a list of day packages");
  for (const auto& package : *list) {
    if (!package.is_object() || !wholeText(package, "startTS") || !wholeText(package, "endTS")) {
      return std::string("a day package without startTS or endTS");
    }
    auto content = package.find("content");
    if (content == package.end() || !content->is_array() || content->empty()) {
      return std::string("a day package without content");
    }
    for (const auto& category : *content) {
      if (auto problem = categoryProblem(category)) return problem;
    }
  }
  return std::nullopt;
}

std::optional<std::string> networkFormProblem(const FormFields& fields) {
  std::map<std::string, std::string> form(fields.begin(), fields.end());
  if (auto problem = requireNonEmpty(form, {"app_id", "app_key", "app_package", "device_uuid", "app_version"})) {
    return problem;
  }
  if (form.contains("app_channel") || form.contains("device_model") || form.contains("device_os")) {
    if (auto problem = requireNonEmpty(form, {"app_channel", "device_model", "device_os"})) return problem;
  }
  if (!form.contains("time") || !isWholeNumber(form["time"])) return std::string("time is not whole milliseconds");
  auto list = jsonArray(form, "net_value");
  if (!list) return std::string("net_value is not a list");
  for (const auto& entry : *list) {
    if (!entry.is_object() || !nonEmptyText(entry, "url")) return std::string("a sample list without url");
    auto data = entry.find("data");
    if (data == entry.end() || !data->is_array() || data->empty()) return std::string("a url without samples");
    for (const auto& sample : *data) {
      if (auto problem = sampleProblem(sample)) return problem;
    }
  }
  return std::nullopt;
}

}  // namespace localcloud
