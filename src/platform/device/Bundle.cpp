#include "platform/device/Bundle.h"

#include <atomic>
#include <filesystem>
#include <mutex>

namespace platform {
namespace {

nlohmann::json builtIn() {
  return {
      {"CFBundleName", "Lumora"},
      {"CFBundleDisplayName", "Lumora"},
      {"CFBundleExecutable", "lumora"},
      {"CFBundleIdentifier", "com.quenby.lumora"},
      {"CFBundleShortVersionString", "1.0.0"},
      {"CFBundleVersion", "1"},
  };
}

std::mutex& infoMutex() {
  static std::mutex m;
  return m;
}

nlohmann::json& infoSlot() {
  static auto& info = *new nlohmann::json(builtIn());
  return info;
}

// Bumped under the mutex with every change of the dictionary.
std::atomic<std::uint64_t>& infoVersionSlot() {
  static std::atomic<std::uint64_t> version{0};
  return version;
}

// A folder set in place of the executable's; empty when none is.
std::string& bundlePathSlot() {
  static auto& path = *new std::string();
  return path;
}

using StringTables = std::map<std::string, std::map<std::string, std::string>>;

StringTables& stringTablesSlot() {
  static auto& tables = *new StringTables();
  return tables;
}

}  // namespace

std::string Bundle::localizedString(const std::string& key, const std::string& fallback, const std::string& table) {
  std::lock_guard<std::mutex> guard(infoMutex());
  auto found = stringTablesSlot().find(table);
  if (found == stringTablesSlot().end()) return fallback;
  auto text = found->second.find(key);
  return text == found->second.end() ? fallback : text->second;
}

void Bundle::setLocalizedStrings(const std::string& table, std::map<std::string, std::string> strings) {
  std::lock_guard<std::mutex> guard(infoMutex());
  stringTablesSlot()[table] = std::move(strings);
}

nlohmann::json Bundle::infoDictionary() {
  std::lock_guard<std::mutex> guard(infoMutex());
  return infoSlot();
}

std::optional<nlohmann::json> Bundle::infoValue(const std::string& key) {
  std::lock_guard<std::mutex> guard(infoMutex());
  auto it = infoSlot().find(key);
  if (it == infoSlot().end()) return std::nullopt;
  return *it;
}

std::optional<std::string> Bundle::infoString(const std::string& key) {
  auto value = infoValue(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::string Bundle::bundlePath() {
  {
    std::lock_guard<std::mutex> guard(infoMutex());
    if (!bundlePathSlot().empty()) return bundlePathSlot();
  }
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : executable.parent_path().string();
}

std::string Bundle::appStoreReceiptPath() {
  std::string folder = bundlePath();
  return folder.empty() ? std::string() : folder + "/StoreKit/receipt";
}

std::uint64_t Bundle::infoVersion() { return infoVersionSlot().load(std::memory_order_acquire); }

void Bundle::setInfoDictionary(nlohmann::json info) {
  std::lock_guard<std::mutex> guard(infoMutex());
  infoSlot() = info.is_object() ? std::move(info) : nlohmann::json::object();
  infoVersionSlot().fetch_add(1, std::memory_order_release);
}

void Bundle::setInfoValue(const std::string& key, nlohmann::json value) {
  std::lock_guard<std::mutex> guard(infoMutex());
  infoSlot()[key] = std::move(value);
  infoVersionSlot().fetch_add(1, std::memory_order_release);
}

void Bundle::removeInfoValue(const std::string& key) {
  std::lock_guard<std::mutex> guard(infoMutex());
  infoSlot().erase(key);
  infoVersionSlot().fetch_add(1, std::memory_order_release);
}

void Bundle::setBundlePath(std::string path) {
  std::lock_guard<std::mutex> guard(infoMutex());
  bundlePathSlot() = std::move(path);
}

void Bundle::reset() {
  std::lock_guard<std::mutex> guard(infoMutex());
  infoSlot() = builtIn();
  infoVersionSlot().fetch_add(1, std::memory_order_release);
  stringTablesSlot().clear();
  bundlePathSlot().clear();
}

}  // namespace platform
