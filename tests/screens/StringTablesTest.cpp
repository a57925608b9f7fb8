// Every key the app's sources hand to the string tables has an entry in
// both the Chinese and the English table, so no screen shows a bare key.
// The sources are read as text: a key is a string literal (or a named
// constant of one, of the file or a header it includes) given to
// localizedString, to a one-line wrapper of it, or to a function's key
// parameter (titleKey, messageKey, cancelKey, otherKey(s), buttonKeys,
// formatKey, or a `key` its body hands to the tables).
//
// Every count of every table reads right at one and at two, in each table's
// language and in those that fall back to English.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "support/TestHome.h"

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
  std::map<std::string, std::set<std::size_t>> lookups = {{"localizedString", {0}}, {"localizedCountString", {0}}};
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

// The words of a text (letters, digits, or any non-ASCII run), and the one
// after its `index`th number; with no number in it, its first word (the
// count stands beside the text, as the gallery's does).
std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || static_cast<unsigned char>(c) >= 0x80) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

std::string wordAfterCount(const std::string& text, std::size_t index) {
  const auto words = wordsOf(text);
  std::size_t numbers = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const bool number = std::all_of(words[i].begin(), words[i].end(),
                                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    if (number && numbers++ == index) {
      return i + 1 < words.size() ? words[i + 1] : "";
    }
  }
  return numbers == 0 && index == 0 && !words.empty() ? words.front() : "";
}

// An English plural noun as a count precedes it ("contacts", "minutes"),
// not a unit ("s").
bool pluralNoun(const std::string& word) {
  return word.size() > 2 && word.back() == 's' &&
         std::all_of(word.begin(), word.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
}

bool takesCount(const std::string& specifier) {
  return !specifier.empty() && std::string_view("diu").find(specifier.back()) != std::string_view::npos;
}

TEST(StringTablesTest, EveryCountReadsAsOneAtOneAndAsManyAtTwoInEveryLanguage) {
  namespace ui = platform::ui;
  testsupport::TestHome home;
  auto& defaults = platform::UserDefaults::standard();
  // The language before, put back however the test ends.
  struct Restore {
    std::optional<platform::Json> languages;
    ~Restore() {
      platform::UserDefaults::standard().registerDefaults(
          {{platform::UserDefaults::kAppleLanguagesKey, languages.value_or(platform::Json::array({"en"}))}});
      platform::ui::resetLocalizedStringsForTesting();
    }
  } restore{defaults.arrayForKey(platform::UserDefaults::kAppleLanguagesKey)};

  // Every table the app has, by language.
  std::map<std::string, std::map<std::string, std::string>> tables;
  for (const auto& entry : fs::directory_iterator(ui::resourceDirectory() / "strings")) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    const auto table = nlohmann::json::parse(in);
    for (auto& [key, text] : table.items()) {
      tables[entry.path().stem().string()][key] = text.get<std::string>();
    }
  }
  ASSERT_TRUE(tables.count("en"));
  ASSERT_TRUE(tables.count("zh-Hans"));
  const auto& english = tables["en"];

  // The counts: each format of a table that takes a whole number or has a
  // form for one ("<key> One", "<key> Other One"...), which takes the
  // arguments its format takes.
  std::set<std::string> counts;
  static const std::regex formWord(R"( (?:One|Other)$)");
  for (const auto& [language, table] : tables) {
    for (const auto& [key, text] : table) {
      const auto specifiers = ui::formatSpecifiers(text);
      std::string base;
      for (std::string shorter = key; std::regex_search(shorter, formWord);) {
        shorter = std::regex_replace(shorter, formWord, "");
        if (table.count(shorter)) base = shorter;
      }
      if (!base.empty()) {
        counts.insert(base);
        EXPECT_EQ(specifiers, ui::formatSpecifiers(table.at(base))) << language << ": \"" << key << "\"";
      } else if (std::any_of(specifiers.begin(), specifiers.end(), takesCount)) {
        counts.insert(key);
      }
    }
  }
  ASSERT_GT(counts.size(), 20u);

  // The arguments of a format for its counts in order (a text for "%@"); a
  // format that shows no number is given its count all the same.
  const auto argumentsFor = [&](const std::string& key, const std::vector<std::int64_t>& values) {
    std::vector<ui::FormatArgument> arguments;
    std::size_t next = 0;
    for (const auto& specifier : ui::formatSpecifiers(english.count(key) ? english.at(key) : key)) {
      if (takesCount(specifier)) {
        arguments.emplace_back(values[next++]);
      } else if (specifier == "@") {
        arguments.emplace_back(std::string("Work"));
      } else {
        arguments.emplace_back(0.5);
      }
    }
    if (next == 0) arguments.emplace_back(values[0]);
    return arguments;
  };
  const auto countsOf = [&](const std::string& key) {
    const auto specifiers = ui::formatSpecifiers(english.count(key) ? english.at(key) : key);
    const auto taken = std::count_if(specifiers.begin(), specifiers.end(), takesCount);
    return std::max<std::size_t>(1, static_cast<std::size_t>(taken));
  };

  // Every combination of 1 and 2 for each count, in every table's language
  // and in two that have none (English first: the others are read against it).
  std::vector<std::string> languages = {"en"};
  for (const auto& [language, table] : tables) {
    if (language != "en") languages.push_back(language);
  }
  languages.insert(languages.end(), {"de", "fr"});
  std::map<std::pair<std::string, std::vector<std::int64_t>>, std::string> englishTexts;
  for (const auto& language : languages) {
    SCOPED_TRACE(language);
    defaults.registerDefaults({{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    const bool ownTable = language != "en" && tables.count(language);
    for (const auto& key : counts) {
      std::map<std::vector<std::int64_t>, std::string> texts;
      const std::size_t n = countsOf(key);
      for (std::size_t bits = 0; bits < (std::size_t{1} << n); ++bits) {
        std::vector<std::int64_t> values;
        for (std::size_t i = 0; i < n; ++i) values.push_back((bits >> i) & 1 ? 1 : 2);
        texts[values] = ui::localizedCountString(key, argumentsFor(key, values));
      }
      // At two, the format itself.
      const std::vector<std::int64_t> twos(n, 2);
      EXPECT_EQ(texts[twos], ui::stringWithFormat(ui::localizedString(key), argumentsFor(key, twos))) << key;
      for (const auto& [values, text] : texts) {
        const auto& englishText = englishTexts[{key, values}];
        if (language == "en") {
          englishTexts[{key, values}] = text;
        } else if (ownTable && tables[language].count(key)) {
          EXPECT_NE(text, englishText) << "\"" << key << "\" in " << language << " reads as English";
          continue;
        } else {
          EXPECT_EQ(text, englishText) << "\"" << key << "\" falls back to English";
        }
        // A count of one is followed by no plural noun where more of it are.
        for (std::size_t i = 0; i < n; ++i) {
          if (values[i] != 1) continue;
          auto more = values;
          more[i] = 2;
          const std::string plural = wordAfterCount(texts.at(more), i);
          EXPECT_FALSE(pluralNoun(plural) && wordAfterCount(text, i) == plural)
              << "\"" << key << "\" with count " << i + 1 << " of " << n << " at one: \"" << text << "\"";
        }
      }
    }
  }
}

}  // namespace
