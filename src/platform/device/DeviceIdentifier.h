// The device identifier that the statistics and push kits send: 40
// lower-case hexadecimal digits, made once and kept in a per-user file
// outside the app home ("<shared folder>/OpenUDID"), so every app of the
// user reads the same value and it survives a wiped app home.
//
// The shared folder is, in order: setSharedDirectory(), LUMORA_SHARED_HOME,
// $XDG_DATA_HOME/lumora-shared, $HOME/.local/share/lumora-shared.
// Threading: any thread; concurrent first calls (also from several
// processes) agree on one value. Ownership: the folder setting is
// process-wide. Failures: nullopt when the file cannot be read or stored; a
// file that does not hold an identifier is replaced.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

class DeviceIdentifier {
 public:
  static std::optional<std::string> value();

  // The folder that holds the identifier file.
  static std::filesystem::path sharedDirectory();
  // Fixes the folder (tests); nullopt goes back to the environment's.
  static void setSharedDirectory(std::optional<std::filesystem::path> directory);
};

}  // namespace platform
