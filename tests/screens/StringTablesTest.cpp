// Every key the app's sources hand to the string tables has an entry in
// both the Chinese and the English table, so no screen shows a bare key.
// The sources are read as text: a key is a string literal (or a named
// constant of one, of the file or a header it includes) given to
// localizedString, to a one-line wrapper of it, or to a function's key
// parameter (titleKey, messageKey, cancelKey, otherKey(s), buttonKeys,
// formatKey, or a `key` its body hands to the tables).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef LUMORA_SOURCE_DIR
#error "LUMORA_SOURCE_DIR names the source tree"
#endif

namespace {

namespace fs = std::filesystem;

struct SourceFile {
  std::string name;
  std::string text;
};

std::vector<SourceFile> appSources() {
  std::vector<SourceFile> files;
  for (const char* folder : {"src/screens", "src/app"}) {
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(LUMORA_SOURCE_DIR) / folder)) {
      const auto extension = entry.path().extension();
      if (extension != ".cpp" && extension != ".h") continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      files.push_back({entry.path().lexically_relative(LUMORA_SOURCE_DIR).string(), text.str()});
    }
  }
  return files;
}

// The index just past the bracket that closes the one at `open`, skipping
// string literals; npos when it is not closed.
std::size_t pastClosing(const std::string& text, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) i += text[i] == '\\' ? 1 : 0;
    } else if (c == '(' || c == '{' || c == '[') {
      ++depth;
    } else if ((c == ')' || c == '}' || c == ']') && --depth == 0) {
      return i + 1;
    }
  }
  return std::string::npos;
}

// The arguments between the parentheses at `open`, split at top-level commas.
std::vector<std::string> arguments(const std::string& text, std::size_t open) {
  const std::size_t end = pastClosing(text, open);
  std::vector<std::string> out;
  if (end == std::string::npos) return out;
  std::size_t start = open + 1;
  for (std::size_t i = start; i < end - 1; ++i) {
    if (text[i] == '"' || text[i] == '(' || text[i] == '{' || text[i] == '[') {
      if (text[i] == '"') {
        for (++i; i < end && text[i] != '"'; ++i) i += text[i] == '\\' ? 1 : 0;
      } else {
        i = pastClosing(text, i) - 1;
      }
    } else if (text[i] == ',') {
      out.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  out.push_back(text.substr(start, end - 1 - start));
  return out;
}

// The string literals of an argument, and the literals of the named
// constants (`constants`) it mentions, leaving out what it passes on to
// calls of its own.
std::vector<std::string> literalsIn(std::string code, const std::map<std::string, std::string>& constants) {
  for (std::size_t open = code.find('('); open != std::string::npos; open = code.find('(', open)) {
    const std::size_t end = pastClosing(code, open);
    code.erase(open, end == std::string::npos ? std::string::npos : end - open);
  }
  std::vector<std::string> out;
  static const std::regex literal(R"re("((?:[^"\\]|\\.)*)"|\b(k\w+)\b)re");
  for (std::sregex_iterator it(code.begin(), code.end(), literal), end; it != end; ++it) {
    if ((*it)[1].matched) {
      out.push_back((*it)[1].str());
    } else if (auto found = constants.find((*it)[2].str()); found != constants.end()) {
      out.push_back(found->second);
    }
  }
  return out;
}

// Whether the function or lambda whose parameter list opens at `open`
// passes its parameter `key` to the tables in its body.
bool handsKeyToTables(const std::string& text, std::size_t open) {
  const std::size_t close = pastClosing(text, open);
  if (close == std::string::npos) return false;
  const std::size_t body = text.find_first_of("{;", close);
  if (body == std::string::npos || text[body] != '{') return false;
  const std::size_t end = pastClosing(text, body);
  return text.substr(body, end == std::string::npos ? std::string::npos : end - body).find("localizedString(key)") !=
         std::string::npos;
}

TEST(StringTablesTest, EveryKeyTheSourcesLookUpHasBothTranslations) {
  const auto files = appSources();
  ASSERT_GT(files.size(), 50u);
  std::map<std::string, nlohmann::json> tables;
  for (const char* language : {"en", "zh-Hans"}) {
    std::ifstream in(fs::path(LUMORA_SOURCE_DIR) / "resources" / "strings" / (std::string(language) + ".json"));
    tables[language] = nlohmann::json::parse(in);
  }

  // The lookups and the positions of their keys.
  std::map<std::string, std::set<std::size_t>> lookups = {{"localizedString", {0}}};
  static const std::regex wrapper(
      R"(std::string\s+(\w+)\(const (?:char\s*\*|std::string\s*&)\s*(\w+)\)\s*\{\s*return\s+(?:\w+::)*localizedString\(\2\);\s*\})");
  static const std::regex keyParameter(R"(\b(?:(?:title|message|cancel|other|button|format)Keys?|key)\b)");
  for (const auto& file : files) {
    for (std::sregex_iterator it(file.text.begin(), file.text.end(), wrapper), end; it != end; ++it) {
      lookups[(*it)[1].str()].insert(0);
    }
    for (std::sregex_iterator it(file.text.begin(), file.text.end(), keyParameter), end; it != end; ++it) {
      // Back to the parenthesis that opens the parameter list (none past
      // the start of the statement).
      std::size_t open = static_cast<std::size_t>(it->position());
      for (int depth = 0; open > 0; --open) {
        const char c = file.text[open - 1];
        if (c == ';' || c == '{' || c == '}') {
          open = 0;
          break;
        }
        if (c == ')' || c == '>') ++depth;
        if ((c == '(' || c == '<') && depth-- == 0) break;
      }
      if (open == 0 || file.text[open - 1] != '(') continue;
      const auto parameters = arguments(file.text, open - 1);
      std::size_t name = open - 1;
      if (name > 0 && file.text[name - 1] == ']') {  // a lambda: the name it is given
        name = file.text.rfind('=', name);
        if (name == std::string::npos) continue;
      }
      while (name > 0 && (std::isspace(static_cast<unsigned char>(file.text[name - 1])) != 0)) --name;
      std::size_t first = name;
      while (first > 0 && (std::isalnum(static_cast<unsigned char>(file.text[first - 1])) != 0 ||
                           file.text[first - 1] == '_')) {
        --first;
      }
      const std::string function = file.text.substr(first, name - first);
      if (function.empty() || function == "for" || function == "if" || function == "while") continue;
      // A parameter named plainly `key` is one only where the body hands
      // it to the tables.
      if (it->str() == "key" && !handsKeyToTables(file.text, open - 1)) continue;
      for (std::size_t i = 0; i < parameters.size(); ++i) {
        std::smatch found;
        if (std::regex_search(parameters[i], found, keyParameter) && (found.str() != "key" || it->str() == "key")) {
          lookups[function].insert(i);
        }
      }
    }
  }
  ASSERT_GE(lookups.size(), 8u) << "the wrappers and key parameters were found";

  // The named constants of a file and of the app's headers it includes.
  std::map<std::string, const SourceFile*> byName;
  for (const auto& file : files) byName[file.name] = &file;
  const auto constantsOf = [&byName](const SourceFile& file) {
    std::map<std::string, std::string> constants;
    static const std::regex constant(R"re(constexpr const char\s*\*\s*(k\w+)\s*=\s*"((?:[^"\\]|\\.)*)")re");
    static const std::regex include(R"re(#include "([^"]+)")re");
    std::vector<const SourceFile*> sources = {&file};
    for (std::sregex_iterator it(file.text.begin(), file.text.end(), include), end; it != end; ++it) {
      if (auto header = byName.find("src/" + (*it)[1].str()); header != byName.end()) sources.push_back(header->second);
    }
    for (const SourceFile* source : sources) {
      for (std::sregex_iterator it(source->text.begin(), source->text.end(), constant), end; it != end; ++it) {
        constants.emplace((*it)[1].str(), (*it)[2].str());
      }
    }
    return constants;
  };

  std::size_t keys = 0;
  for (const auto& file : files) {
    const auto constants = constantsOf(file);
    static const std::regex call(R"(\b(\w+)\s*(?:<[\w:, ]*>)?\s*\()");
    for (std::sregex_iterator it(file.text.begin(), file.text.end(), call), end; it != end; ++it) {
      const auto lookup = lookups.find((*it)[1].str());
      if (lookup == lookups.end()) continue;
      const std::size_t open = static_cast<std::size_t>(it->position() + it->length()) - 1;
      const auto args = arguments(file.text, open);
      const auto line = std::count(file.text.begin(), file.text.begin() + it->position(), '\n') + 1;
      for (std::size_t index : lookup->second) {
        if (index >= args.size()) continue;
        for (const auto& key : literalsIn(args[index], constants)) {
          if (key.empty()) continue;
          ++keys;
          for (const auto& [language, table] : tables) {
            EXPECT_TRUE(table.contains(key)) << file.name << ":" << line << ": \"" << key << "\" has no " << language
                                             << " text";
          }
        }
      }
    }
  }
  EXPECT_GT(keys, 200u) << "the keys of the screens were found";
}

}  // namespace
