#include "platform/ui/Resources.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/storage/UserDefaults.h"
#include "platform/ui/StringFormat.h"

#ifndef LUMORA_RESOURCE_DIR
#define LUMORA_RESOURCE_DIR "resources"
#endif

namespace platform::ui {

namespace {
using StringTable = std::map<std::string, std::string>;

std::map<std::string, StringTable>& stringTables() {
  static std::map<std::string, StringTable> loaded;
  return loaded;
}

const StringTable& stringTableFor(const std::string& language) {
  auto& all = stringTables();
  auto found = all.find(language);
  if (found != all.end()) return found->second;
  StringTable table;
  std::ifstream in(resourceDirectory() / "strings" / (language + ".json"));
  auto json = nlohmann::json::parse(in, nullptr, false);
  if (json.is_object()) {
    for (auto& [key, value] : json.items()) {
      if (value.is_string()) table[key] = value.get<std::string>();
    }
  }
  return all.emplace(language, std::move(table)).first->second;
}

std::string preferredStringsLanguage() {
  auto languages = UserDefaults::standard().arrayForKey(UserDefaults::kAppleLanguagesKey);
  if (languages && !languages->empty() && languages->front().is_string()) {
    return languages->front().get<std::string>();
  }
  return "en";
}
}  // namespace

std::filesystem::path resourceDirectory() {
  if (const char* env = std::getenv("LUMORA_RESOURCES"); env && *env) return env;
  return LUMORA_RESOURCE_DIR;
}

std::string localizedString(const std::string& key) { return localizedString(key, preferredStringsLanguage()); }

std::string localizedString(const std::string& key, const std::string& preferred) {
  static const std::string english = "en";
  for (const std::string* language : {&preferred, &english}) {
    const auto& table = stringTableFor(*language);
    auto found = table.find(key);
    if (found != table.end()) return found->second;
  }
  return key;
}

std::string localizedCountString(const std::string& formatKey, std::int64_t count) {
  return localizedCountString(formatKey, std::vector<FormatArgument>{count});
}

std::string localizedCountString(const std::string& formatKey, const std::vector<FormatArgument>& arguments) {
  return localizedCountString(formatKey, arguments, preferredStringsLanguage());
}

std::string localizedCountString(const std::string& formatKey, const std::vector<FormatArgument>& arguments,
                                 const std::string& preferred) {
  std::vector<std::string> words;
  for (const auto& argument : arguments) {
    if (const auto* count = std::get_if<std::int64_t>(&argument)) words.emplace_back(*count == 1 ? " One" : " Other");
  }
  while (!words.empty() && words.back() == " Other") words.pop_back();
  // The forms come from the table the format comes from: English's for a
  // language with no texts of its own.
  static const std::string english = "en";
  for (const std::string* language : {&preferred, &english}) {
    const auto& table = stringTableFor(*language);
    auto format = table.find(formatKey);
    if (format == table.end()) continue;
    for (std::size_t n = words.size(); n > 0; --n) {
      std::string form = formatKey;
      for (std::size_t i = 0; i < n; ++i) form += words[i];
      if (auto found = table.find(form); found != table.end()) return stringWithFormat(found->second, arguments);
    }
    return stringWithFormat(format->second, arguments);
  }
  return stringWithFormat(formatKey, arguments);
}

bool hasLocalizedString(const std::string& language, const std::string& key) {
  return stringTableFor(language).count(key) > 0;
}

void resetLocalizedStringsForTesting() { stringTables().clear(); }

}  // namespace platform::ui
