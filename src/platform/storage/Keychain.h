// The phone's keychain, reduced to what the app uses: generic-password items
// found by their attributes, with an optional access group, and results given
// as the platform's status codes (OSStatus values).
//
// Items: account, service and access group are always present on a stored
// item (account and service default to "", the group to the keychain's
// default group); (account, service, access group) identifies an item, so a
// second add with the same three is kDuplicateItem. A query matches an item
// when every attribute it sets is equal on the item (strings compared without
// regard to case when asked); a query without an access group searches all
// groups, one with a group searches only that group.
//
// Storage: one binary property list, mode 0600, read on every call and
// replaced atomically (temp file + rename) on every change. shared() keeps it
// at <app home>/Library/Keychains/keychain.plist. A file that cannot be read
// or parsed makes every call answer kNotAvailable and is never written over;
// a symbolic link, a pipe or a folder at its name counts as one (never
// read through nor waited on).
//
// Threading: every member may be called from any thread; all keychains in the
// process share one lock, so two instances on one file cannot lose changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace platform {

struct KeychainAttributes {
  std::optional<std::string> description;
  std::optional<Bytes> generic;
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<std::string> label;
  std::optional<std::string> accessGroup;

  friend bool operator==(const KeychainAttributes&, const KeychainAttributes&) = default;
};

// An item to add, or the changes of an update (the attributes set and, when
// present, the new value data).
struct KeychainItem {
  KeychainAttributes attributes;
  std::optional<Bytes> data;
};

struct KeychainQuery {
  KeychainAttributes attributes;
  bool caseInsensitive = false;
};

// The first matching item (in the order items were added): its value data
// (nullopt when it has none) and all its attributes.
struct KeychainMatch {
  std::int32_t status = 0;
  std::optional<Bytes> data;
  std::optional<KeychainAttributes> attributes;
};

class Keychain {
 public:
  static constexpr std::int32_t kSuccess = 0;
  static constexpr std::int32_t kItemNotFound = -25300;
  static constexpr std::int32_t kDuplicateItem = -25299;
  // The keychain file cannot be read, parsed or written.
  static constexpr std::int32_t kNotAvailable = -25291;
  // A text that is not valid UTF-8 or holds a NUL, an empty access group, or
  // an update that changes nothing.
  static constexpr std::int32_t kBadParameter = -50;

  // A keychain in `file`; items added without a group go to
  // `defaultAccessGroup` ("default" when empty).
  Keychain(std::filesystem::path file, std::string defaultAccessGroup);
  Keychain(const Keychain&) = delete;
  Keychain& operator=(const Keychain&) = delete;

  // The app's keychain: follows the current app home, and its default access
  // group is the bundle identifier.
  static Keychain& shared();
  static std::filesystem::path sharedFile();

  KeychainMatch copyMatching(const KeychainQuery& query) const;
  std::int32_t add(const KeychainItem& item);
  // Applies `changes` to every matching item, all or none.
  std::int32_t update(const KeychainQuery& query, const KeychainItem& changes);
  // Deletes every matching item.
  std::int32_t remove(const KeychainQuery& query);

 private:
  Keychain() = default;  // shared()

  std::filesystem::path currentFile() const;
  std::string currentDefaultGroup() const;

  bool followsAppHome_ = true;
  std::filesystem::path file_;
  std::string defaultAccessGroup_;
};

}  // namespace platform
