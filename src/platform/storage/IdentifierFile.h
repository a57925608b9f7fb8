// An identifier made once and kept in a file of its own (one line of text),
// for the identifiers that must stay the same across launches: the vendor
// identifier under the app home and the device identifier shared by the
// user's apps.
//
// Threading: any thread. Concurrent first calls, also from several
// processes, agree on one value: the file is published with an exclusive
// rename (or, where a rename cannot refuse to replace, a link), and the
// loser reads the winner's value. A second name of the file (a copy of the
// home made with hard links) is read as the file.
// Failures: nullopt when the identifier cannot be read or stored (the folder
// is not writable); a file whose line `accept` refuses is replaced, as is a
// symbolic link or a pipe at its name (never read through nor waited on;
// only the name goes).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// The identifier in `file` as `accept` reads it from the file's first line
// (nullopt: not an identifier), else a new one from `make`, stored first.
// The folder is created when missing.
std::optional<std::string> readOrCreateIdentifier(
    const std::filesystem::path& file,
    const std::function<std::optional<std::string>(const std::string& line)>& accept,
    const std::function<std::string()>& make);

// Tests only: each publish goes as where a rename cannot refuse to replace
// (a link, then the temporary name removed), and `whileLinked` runs while
// the file has both names; an empty function brings the rename back.
void setIdentifierLinkFallbackForTesting(std::function<void()> whileLinked);

}  // namespace platform
