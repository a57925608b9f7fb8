// The machine's network interfaces as the kernel lists them under
// /sys/class/net: their hardware (MAC) addresses and their link state.
//
// The primary interface is the configured one (setPrimaryName), else the
// first interface in name order that is not a loopback and has a six-byte,
// non-zero hardware address.
//
// Threading: any thread; the configuration is guarded by a lock.
// Failures: an interface that does not exist or has no usable hardware
// address gives nullopt.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class NetworkInterface {
 public:
  using HardwareAddress = std::array<std::uint8_t, 6>;

  // One interface's link state: up (administratively up, and its link not
  // known to be down), loopback, wireless (it has a "wireless" entry),
  // mobile (a mobile-broadband modem: the kernel's device type "wwan").
  struct State {
    std::string name;
    bool up = false;
    bool loopback = false;
    bool wireless = false;
    bool mobile = false;
  };
  // Every interface, in name order.
  static std::vector<State> states();

  // The six address bytes of interface `name`.
  static std::optional<HardwareAddress> hardwareAddress(const std::string& name);
  // The address as "%02X:%02X:%02X:%02X:%02X:%02X" (upper case).
  static std::optional<std::string> macAddressText(const std::string& name);

  // The primary interface's name, as described above.
  static std::optional<std::string> primaryName();
  // Fixes the primary interface (nullopt: back to the first suitable one).
  static void setPrimaryName(std::optional<std::string> name);

  // Reads the interface list from `root` instead of /sys/class/net (tests
  // build a fake one); nullopt restores the real one.
  static void setInterfaceDirectoryForTesting(std::optional<std::filesystem::path> root);
};

}  // namespace platform
