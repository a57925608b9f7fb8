// The per-vendor installation identifier: a random UUID made the first time
// it is asked for and kept under the app home
// (<root>/Library/identifierForVendor), so it stays the same for the life of
// the installation and changes when the app home is wiped.
//
// Threading: any thread. Concurrent first calls, also from several processes,
// agree on one value: the file is published with an exclusive link, and the
// loser reads the winner's value.
// Failures: nullopt when the identifier cannot be read or stored (the app
// home is not writable); a file that does not hold a UUID is replaced.
#pragma once

#include <optional>
#include <string>

namespace platform {

class VendorIdentifier {
 public:
  // Upper-case UUID text ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
  static std::optional<std::string> identifierForVendor();
};

}  // namespace platform
