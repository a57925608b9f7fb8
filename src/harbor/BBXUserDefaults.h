// The reporting kits' own key-value store: a property-list dictionary held
// in memory and kept in "BBXUserDefaults.plist" (XML) under
// Library/Application Support/com.blackbox. Setters change memory only; a
// value reaches the disk at the next synchronize(), written atomically. It
// can move a value out of the system user defaults on first read. The
// folder is the store's own: a link in its place is removed (the link, never
// what it points to) before the file is read or written. The file is read
// only as a file of the store's own (a regular file, opened without
// following a link or blocking): anything else at its name is not
// read, and the next write replaces it (never writing through it).
// Ownership: standardUserDefaults() is one process-wide store, created on
// first use and bound to the app home of that moment; other stores (tests)
// are owned by their creator.
// Threading: any thread; a serial queue guards the dictionary and another
// the file (access then disk is the only nesting). Do not call a store from
// a task already running on one of its queues.
// Failure: nothing is returned as an error; failures are logged to the
// console, a file that cannot be read leaves the store empty and a failed
// write keeps the old file.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {

class BBXUserDefaults {
 public:
  using Value = platform::UserDefaults::Value;
  using Dictionary = platform::UserDefaults::Dictionary;

  static BBXUserDefaults& standardUserDefaults();
  // The folder of the shared store: <app home>/Library/Application Support/
  // com.blackbox.
  static std::filesystem::path defaultDirectory();

  // A store over `directory` that migrates from `systemDefaults` (the
  // standard system store when null); loads the file now.
  explicit BBXUserDefaults(std::filesystem::path directory,
                           platform::UserDefaults* systemDefaults = nullptr);
  BBXUserDefaults(const BBXUserDefaults&) = delete;
  BBXUserDefaults& operator=(const BBXUserDefaults&) = delete;

  std::optional<Value> objectForKey(const std::string& key) const;
  // The value when it is a string.
  std::optional<std::string> stringForKey(const std::string& key) const;
  // The value's truth when it is a number or boolean; false otherwise.
  bool boolForKey(const std::string& key) const;

  // nullopt removes the key; a value that no property list can hold is
  // dropped (logged).
  void setObject(const std::optional<Value>& value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();
  Dictionary dictionaryRepresentation() const;

  // Writes the dictionary to the file.
  void synchronize();

  // The stored value; else one still in the system user defaults, which is
  // moved here (both stores synchronised); else nullopt.
  std::optional<Value> objectForKeyByMigratingFromNSUserDefaults(const std::optional<std::string>& key);
  // Copies every given key the system user defaults hold; when any was
  // copied, synchronises, then removes all the keys from the system store.
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);

  const std::filesystem::path& directoryURL() const { return directory_; }
  const std::filesystem::path& fileURL() const { return file_; }

 private:
  std::optional<Dictionary> loadDictionaryFromDisk();
  platform::UserDefaults& systemDefaults() const;
  // On the disk queue: a link in the place of the store's folder goes (the
  // link itself); false when it stays.
  bool removeLinkInPlaceOfDirectory() const;

  std::filesystem::path directory_;
  std::filesystem::path file_;
  platform::UserDefaults* systemDefaults_;
  Dictionary data_;
  std::unique_ptr<platform::SerialQueue> accessQueue_;
  std::unique_ptr<platform::SerialQueue> diskQueue_;
};

}  // namespace lumora
