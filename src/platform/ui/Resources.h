// The app's resources: the folder with strings/ (one JSON table per
// language: "en.json", "zh-Hans.json") and images/. It is $LUMORA_RESOURCES
// when set, else the resources folder of the source tree the program was
// built from.
//
// Texts are looked up by key in the table of the preferred language (the
// first entry of the user default "AppleLanguages"), then in English; a key
// found in neither shows the key itself.
//
// Ownership: tables are loaded once per language and kept. Threading: main
// thread. Failure: a missing or unreadable table counts as empty.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ui/StringFormat.h"

namespace platform::ui {

std::filesystem::path resourceDirectory();

std::string localizedString(const std::string& key);
// The same in the language given (then English), without the user defaults:
// for what is told before the app home may be read.
std::string localizedString(const std::string& key, const std::string& language);
// A count in words: the format `formatKey` filled with the count, or for
// one its singular "<formatKey> One" where the language has it ("1 account
// holds…", not "1 accounts hold…").
std::string localizedCountString(const std::string& formatKey, std::int64_t count);
// The same for a format of several arguments, whose whole numbers are its
// counts: the form is named by a word for each count in order, "One" for a
// count of one and "Other" for any other, the last "Other"s left off
// ("<formatKey> One" for 1 album with 5 photos, "<formatKey> One One" for
// 1 with 1, "<formatKey> Other One" for 2 with 1). A form the table lacks
// falls back to the one named by fewer words, in the end to the format.
std::string localizedCountString(const std::string& formatKey, const std::vector<FormatArgument>& arguments);
// The same in the language given (then English), without the user defaults.
std::string localizedCountString(const std::string& formatKey, const std::vector<FormatArgument>& arguments,
                                 const std::string& language);
// The table of one language ("en", "zh-Hans"): key -> text.
bool hasLocalizedString(const std::string& language, const std::string& key);
// Forget the loaded tables (tests that change the language).
void resetLocalizedStringsForTesting();

}  // namespace platform::ui
