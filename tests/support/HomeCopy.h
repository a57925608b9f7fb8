// An app home copied as `cp -al` copies it (a quick snapshot; a tool that
// merges equal files leaves the same): every folder made anew, every file
// a second name of the one copied, a symbolic link copied as a link. And
// what a test compares of a home before and after: its files and their
// bytes.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "platform/Bytes.h"

namespace testsupport {

// Copies `from` to `to` (made) with hard links, but the entries of `from`
// named in `leftOut` (and a file gone as it was reached, as a running app
// removes one); false when anything could not be made.
bool copyWithHardLinks(const std::filesystem::path& from, const std::filesystem::path& to,
                       const std::set<std::string>& leftOut = {});

// The regular files below `root` but those below the entries of `root`
// named in `leftOut`, by path relative to `root`, with their bytes.
std::map<std::string, platform::Bytes> homeFiles(const std::filesystem::path& root,
                                                 const std::set<std::string>& leftOut = {});
// The same, SQLite stores and their journals left out.
std::map<std::string, platform::Bytes> filesOtherThanStores(const std::filesystem::path& root,
                                                            const std::set<std::string>& leftOut = {});

// The paths (relative to `root`) of the regular files below it that have
// another name as well, but those below the entries named in `leftOut`.
std::set<std::string> filesWithSecondNames(const std::filesystem::path& root,
                                           const std::set<std::string>& leftOut = {});

// The paths (relative to `root`) of the files and folders below it whose
// names hold `text`.
std::set<std::string> namesHolding(const std::filesystem::path& root, const std::string& text);

}  // namespace testsupport
