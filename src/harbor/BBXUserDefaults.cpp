#include "harbor/BBXUserDefaults.h"

#include <cstdint>

#include <fmt/format.h>

#include "platform/Bytes.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"
#include "platform/storage/PropertyList.h"

namespace lumora {
namespace {

constexpr mode_t kDefaultsMode = 0600;
// Far more than the few values the kits keep.
constexpr std::uint64_t kDefaultsMaxBytes = 4 << 20;

}  // namespace

BBXUserDefaults& BBXUserDefaults::standardUserDefaults() {
  static BBXUserDefaults* shared = new BBXUserDefaults(defaultDirectory());
  return *shared;
}

std::filesystem::path BBXUserDefaults::defaultDirectory() {
  return platform::AppHome::applicationSupport() / "com.blackbox";
}

BBXUserDefaults::BBXUserDefaults(std::filesystem::path directory, platform::UserDefaults* systemDefaults)
    : systemDefaults_(systemDefaults),
      accessQueue_(std::make_unique<platform::SerialQueue>("com.blackbox.BBXUserDefaults.access")),
      diskQueue_(std::make_unique<platform::SerialQueue>("com.blackbox.BBXUserDefaults.io")) {
  accessQueue_->sync([&] {
    directory_ = std::move(directory);
    file_ = directory_ / "BBXUserDefaults.plist";
    data_ = loadDictionaryFromDisk().value_or(Dictionary{});
  });
}

bool BBXUserDefaults::removeLinkInPlaceOfDirectory() const {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(directory_, error))) return true;
  platform::consoleLog("[Harbor:UserDefaults] removing a link in the place of " + directory_.string());
  if (platform::AppHome::removeLinkInPlaceOf(directory_)) return true;
  platform::consoleLog("[Harbor:UserDefaults] unable to remove the link in the place of " + directory_.string());
  return false;
}

platform::UserDefaults& BBXUserDefaults::systemDefaults() const {
  return systemDefaults_ != nullptr ? *systemDefaults_ : platform::UserDefaults::standard();
}

std::optional<BBXUserDefaults::Dictionary> BBXUserDefaults::loadDictionaryFromDisk() {
  std::optional<Dictionary> loaded;
  diskQueue_->sync([&] {
    // The store's folder is its own: a link in its place is removed (the
    // link, never what it points to), and nothing is read through it.
    removeLinkInPlaceOfDirectory();
    std::error_code error;
    auto status = std::filesystem::symlink_status(file_, error);
    if (error || !std::filesystem::exists(status)) return;
    if (std::filesystem::is_directory(status)) {
      platform::consoleLog("[Harbor:UserDefaults] found directory where file expected. Removing conflicting directory");
      std::filesystem::remove_all(file_, error);
      if (error) {
        platform::consoleLog(fmt::format(
            "[Harbor:UserDefaults] error removing conflicting directory: {{error = {}}}", error.message()));
      }
      return;
    }
    // Read as a file of the store's own: a symbolic link, a pipe or a
    // device in its place is not read (nor waited on); the next write
    // replaces it.
    platform::OwnFileProblem problem = platform::OwnFileProblem::None;
    const auto bytes = platform::readOwnFile(file_, kDefaultsMaxBytes, &problem);
    if (bytes) loaded = platform::UserDefaults::decodeDictionary(platform::toBytes(*bytes));
    if (problem == platform::OwnFileProblem::NotRegular) {
      platform::consoleLog("[Harbor:UserDefaults] found no file of the store's own where the file is expected: "
                           "not read");
    } else if (!loaded) {
      platform::consoleLog("[Harbor:UserDefaults] failed to read existing UserDefaults file");
    }
  });
  return loaded;
}

std::optional<BBXUserDefaults::Value> BBXUserDefaults::objectForKey(const std::string& key) const {
  std::optional<Value> value;
  accessQueue_->sync([&] {
    auto it = data_.find(key);
    if (it != data_.end()) value = it->second;
  });
  return value;
}

std::optional<std::string> BBXUserDefaults::stringForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::nullopt;
}

bool BBXUserDefaults::boolForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (const auto* b = std::get_if<bool>(&*value)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&*value)) return *i != 0;
  if (const auto* d = std::get_if<double>(&*value)) return *d != 0;
  return false;
}

void BBXUserDefaults::setObject(const std::optional<Value>& value, const std::string& key) {
  if (!value) {
    removeObjectForKey(key);
    return;
  }
  auto stored = platform::UserDefaults::storable(*value);
  if (!stored) {
    platform::consoleLog(fmt::format("[Harbor:UserDefaults] value for key {} is no property-list value", key));
    return;
  }
  accessQueue_->sync([&] { data_[key] = std::move(*stored); });
}

void BBXUserDefaults::setString(const std::optional<std::string>& value, const std::string& key) {
  setObject(value ? std::optional<Value>(*value) : std::nullopt, key);
}

void BBXUserDefaults::setBool(bool value, const std::string& key) { setObject(Value(value), key); }

void BBXUserDefaults::removeObjectForKey(const std::string& key) {
  accessQueue_->sync([&] { data_.erase(key); });
}

void BBXUserDefaults::removeAllObjects() {
  accessQueue_->sync([&] { data_.clear(); });
}

BBXUserDefaults::Dictionary BBXUserDefaults::dictionaryRepresentation() const {
  Dictionary copy;
  accessQueue_->sync([&] { copy = data_; });
  return copy;
}

void BBXUserDefaults::synchronize() {
  Dictionary snapshot = dictionaryRepresentation();
  diskQueue_->sync([&] {
    if (!removeLinkInPlaceOfDirectory()) return;
    std::error_code error;
    if (!std::filesystem::exists(directory_, error)) {
      std::filesystem::create_directories(directory_, error);
      if (error) {
        platform::consoleLog(
            fmt::format("[Harbor:UserDefaults] failed to create directory with error:{}", error.message()));
      }
    }
    auto written = platform::plist::writeFileAtomically(
        file_, platform::UserDefaults::encodeDictionary(snapshot, true), kDefaultsMode);
    if (!written.ok()) {
      platform::consoleLog(
          fmt::format("[Harbor:UserDefaults] Unable to open file for writing at path {}", file_.string()));
    }
    // The file is readable while the device is locked: no protection class
    // to set on this platform.
  });
}

std::optional<BBXUserDefaults::Value> BBXUserDefaults::objectForKeyByMigratingFromNSUserDefaults(
    const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  if (auto value = objectForKey(*key)) return value;
  auto& system = systemDefaults();
  auto value = system.objectForKey(*key);
  if (!value) return std::nullopt;
  setObject(*value, *key);
  synchronize();
  system.removeObjectForKey(*key);
  system.synchronize();
  return value;
}

void BBXUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  auto& system = systemDefaults();
  bool copied = false;
  for (const auto& key : keys) {
    if (auto value = system.objectForKey(key)) {
      setObject(*value, key);
      copied = true;
    }
  }
  if (!copied) return;
  synchronize();
  for (const auto& key : keys) system.removeObjectForKey(key);
  system.synchronize();
}

}  // namespace lumora
