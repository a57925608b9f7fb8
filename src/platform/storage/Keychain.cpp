#include "platform/storage/Keychain.h"

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "platform/storage/AppHome.h"
#include "platform/device/Bundle.h"
#include "platform/storage/PropertyList.h"

namespace platform {
namespace {

constexpr mode_t kFileMode = 0600;
constexpr std::int64_t kFormatVersion = 1;

constexpr const char* kVersionKey = "version";
constexpr const char* kItemsKey = "items";
constexpr const char* kDescriptionKey = "description";
constexpr const char* kGenericKey = "generic";
constexpr const char* kServiceKey = "service";
constexpr const char* kAccountKey = "account";
constexpr const char* kLabelKey = "label";
constexpr const char* kAccessGroupKey = "accessGroup";
constexpr const char* kDataKey = "data";

std::mutex& keychainMutex() {
  static std::mutex m;
  return m;
}

// The items of a file, or the status that reading it ends in.
struct Contents {
  std::int32_t status = Keychain::kSuccess;
  std::vector<KeychainItem> items;
};

bool storable(const std::optional<std::string>& text) {
  return !text || plist::storableString(*text);
}

bool validAttributes(const KeychainAttributes& a) {
  if (a.accessGroup && a.accessGroup->empty()) return false;
  return storable(a.description) && storable(a.service) && storable(a.account) && storable(a.label) &&
         storable(a.accessGroup);
}

bool sameText(const std::string& a, const std::string& b, bool caseInsensitive) {
  if (!caseInsensitive) return a == b;
  return icu::UnicodeString::fromUTF8(a).caseCompare(icu::UnicodeString::fromUTF8(b), U_FOLD_CASE_DEFAULT) == 0;
}

bool textMatches(const std::optional<std::string>& wanted, const std::optional<std::string>& have,
                 bool caseInsensitive) {
  if (!wanted) return true;
  return have && sameText(*wanted, *have, caseInsensitive);
}

bool matches(const KeychainQuery& query, const KeychainItem& item) {
  const KeychainAttributes& want = query.attributes;
  const KeychainAttributes& have = item.attributes;
  bool ci = query.caseInsensitive;
  if (want.generic && have.generic != want.generic) return false;
  if (want.accessGroup && have.accessGroup != want.accessGroup) return false;
  return textMatches(want.description, have.description, ci) && textMatches(want.service, have.service, ci) &&
         textMatches(want.account, have.account, ci) && textMatches(want.label, have.label, ci);
}

bool sameIdentity(const KeychainItem& a, const KeychainItem& b) {
  return a.attributes.account == b.attributes.account && a.attributes.service == b.attributes.service &&
         a.attributes.accessGroup == b.attributes.accessGroup;
}

bool hasDuplicates(const std::vector<KeychainItem>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (sameIdentity(items[i], items[j])) return true;
    }
  }
  return false;
}

// Reads one optional entry of an item dictionary; false when it has the
// wrong type.
bool readText(plist_t dict, const char* key, std::optional<std::string>& out) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node) return true;
  if (plist_get_node_type(node) != PLIST_STRING) return false;
  out = plist::stringValue(node);
  return true;
}

bool readData(plist_t dict, const char* key, std::optional<Bytes>& out) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node) return true;
  if (plist_get_node_type(node) != PLIST_DATA) return false;
  out = plist::dataValue(node);
  return true;
}

std::optional<KeychainItem> readItem(plist_t dict) {
  if (plist_get_node_type(dict) != PLIST_DICT) return std::nullopt;
  KeychainItem item;
  KeychainAttributes& a = item.attributes;
  bool typed = readText(dict, kDescriptionKey, a.description) && readData(dict, kGenericKey, a.generic) &&
               readText(dict, kServiceKey, a.service) && readText(dict, kAccountKey, a.account) &&
               readText(dict, kLabelKey, a.label) && readText(dict, kAccessGroupKey, a.accessGroup) &&
               readData(dict, kDataKey, item.data);
  // These three are written on every item; a file without them is not ours.
  if (!typed || !a.service || !a.account || !a.accessGroup) return std::nullopt;
  return item;
}

Contents load(const std::filesystem::path& file) {
  Contents contents;
  Result<Bytes> bytes = plist::readStoredFile(file);
  if (!bytes.ok()) {
    if (bytes.error().code() != plist::kFileReadNoSuchFile) contents.status = Keychain::kNotAvailable;
    return contents;
  }
  contents.status = Keychain::kNotAvailable;  // until the whole file has been read
  plist::Node root = plist::parse(*bytes);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return contents;
  plist_t version = plist_dict_get_item(root.get(), kVersionKey);
  if (!version || plist_get_node_type(version) != PLIST_UINT || plist::integerValue(version) != kFormatVersion) {
    return contents;
  }
  plist_t items = plist_dict_get_item(root.get(), kItemsKey);
  if (!items || plist_get_node_type(items) != PLIST_ARRAY) return contents;
  std::uint32_t count = plist_array_get_size(items);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::optional<KeychainItem> item = readItem(plist_array_get_item(items, i));
    if (!item) {
      contents.items.clear();
      return contents;
    }
    contents.items.push_back(std::move(*item));
  }
  contents.status = Keychain::kSuccess;
  return contents;
}

void putText(plist_t dict, const char* key, const std::optional<std::string>& text) {
  if (text) plist_dict_set_item(dict, key, plist::newString(*text));
}

void putData(plist_t dict, const char* key, const std::optional<Bytes>& data) {
  if (data) plist_dict_set_item(dict, key, plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
}

std::int32_t save(const std::filesystem::path& file, const std::vector<KeychainItem>& items) {
  plist::Node root(plist_new_dict());
  plist_dict_set_item(root.get(), kVersionKey, plist_new_uint(kFormatVersion));
  plist_t array = plist_new_array();
  for (const KeychainItem& item : items) {
    const KeychainAttributes& a = item.attributes;
    plist_t dict = plist_new_dict();
    putText(dict, kDescriptionKey, a.description);
    putData(dict, kGenericKey, a.generic);
    putText(dict, kServiceKey, a.service);
    putText(dict, kAccountKey, a.account);
    putText(dict, kLabelKey, a.label);
    putText(dict, kAccessGroupKey, a.accessGroup);
    putData(dict, kDataKey, item.data);
    plist_array_append_item(array, dict);
  }
  plist_dict_set_item(root.get(), kItemsKey, array);

  // The folder holds secrets: only the owner may list it.
  std::filesystem::path dir = file.parent_path();
  std::error_code ec;
  if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
    std::filesystem::create_directories(dir, ec);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
  }
  Status written = plist::writeFileAtomically(file, plist::toBinary(root.get()), kFileMode);
  return written.ok() ? Keychain::kSuccess : Keychain::kNotAvailable;
}

void applyChanges(KeychainItem& item, const KeychainItem& changes) {
  const KeychainAttributes& c = changes.attributes;
  KeychainAttributes& a = item.attributes;
  if (c.description) a.description = c.description;
  if (c.generic) a.generic = c.generic;
  if (c.service) a.service = c.service;
  if (c.account) a.account = c.account;
  if (c.label) a.label = c.label;
  if (c.accessGroup) a.accessGroup = c.accessGroup;
  if (changes.data) item.data = changes.data;
}

bool changesNothing(const KeychainItem& changes) {
  return changes.attributes == KeychainAttributes{} && !changes.data;
}

}  // namespace

Keychain::Keychain(std::filesystem::path file, std::string defaultAccessGroup)
    : followsAppHome_(false),
      file_(std::move(file)),
      defaultAccessGroup_(defaultAccessGroup.empty() ? "default" : std::move(defaultAccessGroup)) {}

Keychain& Keychain::shared() {
  static auto& instance = *new Keychain();
  return instance;
}

std::filesystem::path Keychain::sharedFile() {
  return AppHome::root() / "Library" / "Keychains" / "keychain.plist";
}

std::filesystem::path Keychain::currentFile() const { return followsAppHome_ ? sharedFile() : file_; }

std::string Keychain::currentDefaultGroup() const {
  if (!followsAppHome_) return defaultAccessGroup_;
  std::string group = Bundle::infoString("CFBundleIdentifier").value_or("");
  return group.empty() || !plist::storableString(group) ? "default" : group;
}

KeychainMatch Keychain::copyMatching(const KeychainQuery& query) const {
  KeychainMatch result;
  if (!validAttributes(query.attributes)) {
    result.status = kBadParameter;
    return result;
  }
  std::lock_guard<std::mutex> guard(keychainMutex());
  Contents contents = load(currentFile());
  if (contents.status != kSuccess) {
    result.status = contents.status;
    return result;
  }
  for (const KeychainItem& item : contents.items) {
    if (!matches(query, item)) continue;
    result.status = kSuccess;
    result.data = item.data;
    result.attributes = item.attributes;
    return result;
  }
  result.status = kItemNotFound;
  return result;
}

std::int32_t Keychain::add(const KeychainItem& item) {
  if (!validAttributes(item.attributes)) return kBadParameter;
  KeychainItem stored = item;
  KeychainAttributes& a = stored.attributes;
  if (!a.account) a.account = "";
  if (!a.service) a.service = "";
  if (!a.accessGroup) a.accessGroup = currentDefaultGroup();

  std::lock_guard<std::mutex> guard(keychainMutex());
  std::filesystem::path file = currentFile();
  Contents contents = load(file);
  if (contents.status != kSuccess) return contents.status;
  for (const KeychainItem& existing : contents.items) {
    if (sameIdentity(existing, stored)) return kDuplicateItem;
  }
  contents.items.push_back(std::move(stored));
  return save(file, contents.items);
}

std::int32_t Keychain::update(const KeychainQuery& query, const KeychainItem& changes) {
  if (!validAttributes(query.attributes) || !validAttributes(changes.attributes) || changesNothing(changes)) {
    return kBadParameter;
  }
  std::lock_guard<std::mutex> guard(keychainMutex());
  std::filesystem::path file = currentFile();
  Contents contents = load(file);
  if (contents.status != kSuccess) return contents.status;
  bool found = false;
  for (KeychainItem& item : contents.items) {
    if (!matches(query, item)) continue;
    applyChanges(item, changes);
    found = true;
  }
  if (!found) return kItemNotFound;
  if (hasDuplicates(contents.items)) return kDuplicateItem;
  return save(file, contents.items);
}

std::int32_t Keychain::remove(const KeychainQuery& query) {
  if (!validAttributes(query.attributes)) return kBadParameter;
  std::lock_guard<std::mutex> guard(keychainMutex());
  std::filesystem::path file = currentFile();
  Contents contents = load(file);
  if (contents.status != kSuccess) return contents.status;
  std::size_t before = contents.items.size();
  std::erase_if(contents.items, [&](const KeychainItem& item) { return matches(query, item); });
  if (contents.items.size() == before) return kItemNotFound;
  return save(file, contents.items);
}

}  // namespace platform
