// Named generic-password items in the app's keychain (platform::Keychain):
// one text per item identifier, optionally in an access group. Used for the
// "UUID" device identifier and the "CATOKEN" CA token.
//
// Ownership: plain objects; the two shared instances live for the process.
// Threading: any thread (the keychain serialises its own file); the access
// group of one instance must not be changed while another thread uses it.
// Failures: logged through the SDK log with the keychain status and reported
// as nullopt / false; nothing is retried. An update that fails is reported
// as a failure and leaves the stored text as it was.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"
#include "platform/storage/Keychain.h"

namespace lumora {

class KPKeyChainUtil {
 public:
  // An instance for `identifier` (zero-terminated text); nullptr for a null
  // pointer.
  static std::shared_ptr<KPKeyChainUtil> initWithKeyChainItemIdentifier(const char* identifier);
  static std::shared_ptr<KPKeyChainUtil> utilForKeyChainItemIdentifier(std::string identifier);

  // Identifier "UUID", no access group.
  static KPKeyChainUtil& sharedUtilForKeyChainItemIdentifierUUID();
  // Identifier "CATOKEN", access group "com.quenby.passport.catoken".
  static KPKeyChainUtil& sharedUtilForKeyChainItemIdentifierCATOKEN();

  explicit KPKeyChainUtil(std::string identifier);

  // The UTF-8 bytes of the identifier.
  platform::Bytes getKeyData() const;

  // The stored text; nullopt when there is no item, the keychain fails or the
  // stored bytes are not UTF-8 text.
  std::optional<std::string> getFromKeyChain() const;
  // Adds the item, or updates the existing one; true when the text is
  // stored. The text is kept up to its first zero byte.
  bool setToKeyChain(std::string_view text) const;
  // Replaces the text of an existing item; false when there is none or the
  // update fails.
  bool updateInKeyChain(std::string_view text) const;
  bool removeFromKeyChain() const;

  const std::optional<std::string>& keyChainAccessGroup() const { return keyChainAccessGroup_; }
  void setKeyChainAccessGroup(std::optional<std::string> group) { keyChainAccessGroup_ = std::move(group); }
  const std::string& keyString() const { return keyString_; }

 private:
  platform::KeychainQuery readQuery() const;
  platform::KeychainQuery identityQuery() const;
  std::optional<std::string> groupIfSet() const;

  std::optional<std::string> keyChainAccessGroup_;
  std::string keyString_;
};

namespace keychainutil {

// The stored form of a text: its bytes up to its first zero byte; nullopt
// (logged) when those are not UTF-8 text.
std::optional<platform::Bytes> valueData(std::string_view text);
// Reads one item as both lookups of the account SDK do, with their log
// lines: nullopt for a missing item, a failure or bytes that are not UTF-8.
std::optional<std::string> readItem(const platform::KeychainQuery& query);
// Adds `item` when `read` finds no readable item, else runs `update`.
bool addOrUpdate(const platform::KeychainQuery& read, platform::KeychainItem item,
                 const std::function<bool()>& update);
// Replaces the item that `identity` finds (matched by its stored attributes)
// with `changes`; false without a log line when there is none.
bool updateItem(const platform::KeychainQuery& identity, const platform::KeychainItem& changes);
// Deletes what `query` matches.
bool removeItem(const platform::KeychainQuery& query);

}  // namespace keychainutil

}  // namespace lumora
