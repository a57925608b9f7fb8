#include "platform/device/NetworkInterface.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>

#include "platform/Bytes.h"

namespace platform {
namespace {

constexpr int kLoopbackType = 772;  // ARPHRD_LOOPBACK
constexpr unsigned long kFlagUp = 0x1;  // IFF_UP

struct Config {
  std::mutex mutex;
  std::optional<std::string> primaryName;
  std::optional<std::filesystem::path> directory;
};

Config& config() {
  static auto& c = *new Config();
  return c;
}

std::filesystem::path interfaceDirectory() {
  std::lock_guard<std::mutex> guard(config().mutex);
  return config().directory.value_or("/sys/class/net");
}

std::optional<std::string> firstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  return line;
}

// "aa:bb:cc:dd:ee:ff" -> six bytes; anything else (other lengths, e.g.
// InfiniBand's twenty bytes) -> nullopt.
std::optional<NetworkInterface::HardwareAddress> parseAddress(const std::string& text) {
  if (text.size() != 17) return std::nullopt;
  NetworkInterface::HardwareAddress out{};
  for (std::size_t i = 0; i < 6; ++i) {
    int hi = hexDigitValue(text[i * 3]);
    int lo = hexDigitValue(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    if (i < 5 && text[i * 3 + 2] != ':') return std::nullopt;
    out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return out;
}

bool validName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool isLoopback(const std::filesystem::path& dir) {
  auto type = firstLine(dir / "type");
  return type && std::atoi(type->c_str()) == kLoopbackType;
}

// The kernel's device type of the interface (its "DEVTYPE=" line), "" for none.
std::string deviceType(const std::filesystem::path& dir) {
  std::ifstream in(dir / "uevent");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
  }
  return {};
}

bool allZero(const NetworkInterface::HardwareAddress& a) {
  for (auto b : a)
    if (b != 0) return false;
  return true;
}

}  // namespace

std::optional<NetworkInterface::HardwareAddress> NetworkInterface::hardwareAddress(
    const std::string& name) {
  if (!validName(name)) return std::nullopt;
  auto text = firstLine(interfaceDirectory() / name / "address");
  if (!text) return std::nullopt;
  return parseAddress(*text);
}

std::optional<std::string> NetworkInterface::macAddressText(const std::string& name) {
  auto a = hardwareAddress(name);
  if (!a) return std::nullopt;
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", (*a)[0], (*a)[1], (*a)[2],
                (*a)[3], (*a)[4], (*a)[5]);
  return std::string(text);
}

namespace {

std::set<std::string> interfaceNames(const std::filesystem::path& root) {
  std::set<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    names.insert(it->path().filename().string());
  return names;
}

}  // namespace

std::vector<NetworkInterface::State> NetworkInterface::states() {
  std::filesystem::path root = interfaceDirectory();
  std::vector<State> out;
  for (const auto& name : interfaceNames(root)) {
    std::filesystem::path dir = root / name;
    State state;
    state.name = name;
    auto flags = firstLine(dir / "flags");
    auto operstate = firstLine(dir / "operstate").value_or("unknown");
    bool adminUp = flags && (std::strtoul(flags->c_str(), nullptr, 16) & kFlagUp) != 0;
    state.up = adminUp && (operstate == "up" || operstate == "unknown");
    state.loopback = isLoopback(dir);
    std::error_code ec;
    state.wireless = std::filesystem::exists(dir / "wireless", ec);
    state.mobile = deviceType(dir) == "wwan";
    out.push_back(std::move(state));
  }
  return out;
}

std::optional<std::string> NetworkInterface::primaryName() {
  {
    std::lock_guard<std::mutex> guard(config().mutex);
    if (config().primaryName) return config().primaryName;
  }
  std::filesystem::path root = interfaceDirectory();
  for (const auto& name : interfaceNames(root)) {
    if (isLoopback(root / name)) continue;
    auto address = hardwareAddress(name);
    if (address && !allZero(*address)) return name;
  }
  return std::nullopt;
}

void NetworkInterface::setPrimaryName(std::optional<std::string> name) {
  std::lock_guard<std::mutex> guard(config().mutex);
  config().primaryName = std::move(name);
}

void NetworkInterface::setInterfaceDirectoryForTesting(std::optional<std::filesystem::path> root) {
  std::lock_guard<std::mutex> guard(config().mutex);
  config().directory = std::move(root);
}

}  // namespace platform
