#include "platform/storage/UserDefaults.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "platform/storage/AppHome.h"
#include "platform/device/Bundle.h"
#include "platform/storage/PropertyList.h"

namespace platform {
namespace {

constexpr mode_t kDefaultsFileMode = 0600;

std::int64_t saturatingInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775807.0) return INT64_MAX;
  if (value <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(value);
}

// A string read as a boolean the way the platform reads one: after blanks, a
// sign and leading zeros, Y, y, T, t or a digit 1-9 means true.
bool stringTruth(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

plist_t toNode(const UserDefaults::Value& value) {
  return std::visit(
      [](const auto& v) -> plist_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return plist::newString(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return plist_new_uint(static_cast<std::uint64_t>(v));
        } else if constexpr (std::is_same_v<T, double>) {
          return plist_new_real(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return plist_new_bool(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, Clock::TimePoint>) {
          return plist::newDate(v);
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        } else {
          return plist::fromJson(v).release();
        }
      },
      value);
}

std::optional<UserDefaults::Value> fromNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return UserDefaults::Value(b != 0);
    }
    case PLIST_UINT:
    case PLIST_UID:
      return UserDefaults::Value(plist::integerValue(node));
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return UserDefaults::Value(d);
    }
    case PLIST_STRING:
      return UserDefaults::Value(plist::stringValue(node));
    case PLIST_DATE:
      return UserDefaults::Value(plist::dateValue(node));
    case PLIST_DATA:
      return UserDefaults::Value(plist::dataValue(node));
    case PLIST_ARRAY:
    case PLIST_DICT:
      return UserDefaults::Value(plist::toJson(node));
    default:
      return std::nullopt;
  }
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : followsAppHome_(false) {
  std::lock_guard<std::mutex> guard(mutex_);
  file_ = std::move(file);
  loadLocked();
}

UserDefaults::UserDefaults(FollowAppHome) : followsAppHome_(true) {}

UserDefaults& UserDefaults::standard() {
  static auto& instance = *new UserDefaults(FollowAppHome{});
  return instance;
}

void UserDefaults::resetStandardForTesting() {
  UserDefaults& defaults = standard();
  std::lock_guard<std::mutex> guard(defaults.mutex_);
  defaults.loaded_ = false;
  defaults.file_.clear();
  defaults.fileRoot_.clear();
  defaults.fileName_.clear();
  defaults.stored_.clear();
  defaults.registered_.clear();
  defaults.lastLoadError_.reset();
  defaults.lastSaveError_.reset();
  defaults.writesBlocked_ = false;
}

namespace {

std::string standardFileName() {
  std::string name = Bundle::infoString("CFBundleIdentifier").value_or("");
  // The identifier names a file in the preferences folder and nothing else.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    name = "UserDefaults";
  }
  return name + ".plist";
}

}  // namespace

std::filesystem::path UserDefaults::standardFile() { return AppHome::preferences() / standardFileName(); }

Bytes UserDefaults::encodeDictionary(const Dictionary& values, bool xml) {
  plist::Node root(plist_new_dict());
  for (const auto& [key, value] : values) plist_dict_set_item(root.get(), key.c_str(), toNode(value));
  return xml ? plist::toXml(root.get()) : plist::toBinary(root.get());
}

std::optional<UserDefaults::Dictionary> UserDefaults::decodeDictionary(const Bytes& bytes) {
  plist::Node root = plist::parse(bytes);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  Dictionary values;
  plist::forEachEntry(root.get(), [&](const char* key, plist_t node) {
    if (auto value = fromNode(node)) values[key] = std::move(*value);
  });
  return values;
}

std::optional<UserDefaults::Value> UserDefaults::storable(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    if (!plist::storableString(*text)) return std::nullopt;
    return value;
  }
  if (const auto* date = std::get_if<Clock::TimePoint>(&value)) {
    if (!plist::dateInRange(*date)) return std::nullopt;
    return Value(plist::truncatedToMilliseconds(*date));
  }
  if (const auto* json = std::get_if<Json>(&value)) {
    switch (json->type()) {
      case Json::value_t::array:
      case Json::value_t::object:
        if (!plist::storableJson(*json)) return std::nullopt;
        return Value(plist::normalizedJson(*json));
      case Json::value_t::string:
        return storable(Value(json->get<std::string>()));
      case Json::value_t::boolean:
        return Value(json->get<bool>());
      case Json::value_t::number_integer:
        return Value(json->get<std::int64_t>());
      case Json::value_t::number_unsigned:
        if (!plist::storableJson(*json)) return std::nullopt;
        return Value(json->get<std::int64_t>());
      case Json::value_t::number_float:
        return Value(json->get<double>());
      case Json::value_t::binary:
        return Value(Bytes(json->get_binary().begin(), json->get_binary().end()));
      default:
        return std::nullopt;
    }
  }
  return value;
}

std::string UserDefaults::languageFromLocale(const char* locale) {
  std::string text = locale ? locale : "";
  if (text.rfind("zh", 0) == 0) {
    bool traditional = text.find("TW") != std::string::npos || text.find("HK") != std::string::npos ||
                       text.find("Hant") != std::string::npos;
    return traditional ? "zh-Hant" : "zh-Hans";
  }
  auto end = text.find_first_of("_.@");
  std::string language = text.substr(0, end);
  return language.empty() || language == "C" || language == "POSIX" ? "en" : language;
}

void UserDefaults::resetRegisteredLocked() const {
  registered_.clear();
  registered_[kAppleLanguagesKey] = Json::array({languageFromLocale(std::getenv("LANG"))});
}

void UserDefaults::ensureLoadedLocked() const {
  if (!followsAppHome_) {
    if (!loaded_) loadLocked();
    return;
  }
  // Every read looks, comparing what the file's path is made of (building
  // and comparing paths costs more than most reads; the name is made again
  // only after the bundle's dictionary changed); a (re)load prepares the
  // home's folders.
  const std::uint64_t infoVersion = Bundle::infoVersion();
  if (loaded_ && infoVersion == fileInfoVersion_ && AppHome::isRootPath(fileRoot_)) return;
  std::filesystem::path root = AppHome::rootPath();
  std::string name = standardFileName();
  fileInfoVersion_ = infoVersion;
  if (loaded_ && root.native() == fileRoot_.native() && name == fileName_) return;
  fileRoot_ = std::move(root);
  fileName_ = std::move(name);
  file_ = AppHome::preferences() / fileName_;
  loadLocked();
}

void UserDefaults::loadLocked() const {
  loaded_ = true;
  stored_.clear();
  resetRegisteredLocked();
  lastLoadError_.reset();
  lastSaveError_.reset();
  writesBlocked_ = false;

  std::optional<Error> failure;
  Result<Bytes> bytes = plist::readStoredFile(file_);
  if (!bytes.ok()) {
    if (bytes.error().code() == plist::kFileReadNoSuchFile) return;  // a new store
    failure = bytes.error();
  } else {
    if (auto values = decodeDictionary(*bytes)) {
      stored_ = std::move(*values);
      return;
    }
    failure = Error(plist::kCocoaErrorDomain, plist::kPropertyListReadCorrupt,
                    {{plist::kFilePathKey, file_.string()},
                     {Error::kLocalizedDescriptionKey, "the file is not a property list dictionary"}});
  }

  // Keep the unusable file for inspection; never write over it.
  bool movedAside = false;
  lastLoadError_ = plist::setAsideUnreadable(file_, std::move(*failure), movedAside);
  writesBlocked_ = !movedAside;
}

bool UserDefaults::saveLocked() const {
  if (writesBlocked_) {
    lastSaveError_ = Error(plist::kCocoaErrorDomain, plist::kFileWriteNoPermission,
                           {{plist::kFilePathKey, file_.string()},
                            {Error::kLocalizedDescriptionKey,
                             "an unreadable file could not be moved aside; it is not written over"}});
    return false;
  }
  if (followsAppHome_) (void)AppHome::preferences();  // the folder again, should it have gone
  Status written = plist::writeFileAtomically(file_, encodeDictionary(stored_, false), kDefaultsFileMode);
  if (!written.ok()) {
    lastSaveError_ = written.error();
    return false;
  }
  lastSaveError_.reset();
  return true;
}

bool UserDefaults::batchedHereLocked() const {
  return batchDepth_ > 0 && batchThread_ == std::this_thread::get_id();
}

void UserDefaults::saveOrDeferLocked() {
  if (batchedHereLocked()) {
    batchDirty_ = true;
    return;
  }
  if (saveLocked()) batchDirty_ = false;
}

UserDefaults::Batch::Batch(UserDefaults& defaults) : defaults_(defaults) {
  std::lock_guard<std::mutex> guard(defaults_.mutex_);
  // While another thread's batch is open this one gathers nothing: its
  // changes write through as usual.
  if (defaults_.batchDepth_ > 0 && defaults_.batchThread_ != std::this_thread::get_id()) return;
  defaults_.batchThread_ = std::this_thread::get_id();
  ++defaults_.batchDepth_;
  active_ = true;
}

UserDefaults::Batch::~Batch() {
  if (!active_) return;
  std::lock_guard<std::mutex> guard(defaults_.mutex_);
  if (--defaults_.batchDepth_ > 0) return;
  defaults_.batchThread_ = std::thread::id();
  if (defaults_.batchDirty_) {
    defaults_.batchDirty_ = false;
    defaults_.ensureLoadedLocked();
    defaults_.saveLocked();
  }
}

const UserDefaults::Value* UserDefaults::findLocked(const std::string& key) const {
  ensureLoadedLocked();
  if (auto it = stored_.find(key); it != stored_.end()) return &it->second;
  if (auto it = registered_.find(key); it != registered_.end()) return &it->second;
  return nullptr;
}

bool UserDefaults::setLocked(const std::string& key, const Value& value) {
  if (!plist::storableString(key)) return false;
  std::optional<Value> kept = storable(value);
  if (!kept) return false;
  ensureLoadedLocked();
  auto it = stored_.find(key);
  if (it != stored_.end() && it->second == *kept && !lastSaveError_) return true;
  stored_[key] = std::move(*kept);
  saveOrDeferLocked();
  return true;
}

bool UserDefaults::setObject(const std::string& key, const Value& value) {
  std::lock_guard<std::mutex> guard(mutex_);
  return setLocked(key, value);
}

bool UserDefaults::setString(const std::string& key, const std::string& value) {
  return setObject(key, Value(value));
}

bool UserDefaults::setInteger(const std::string& key, std::int64_t value) {
  return setObject(key, Value(value));
}

bool UserDefaults::setDouble(const std::string& key, double value) { return setObject(key, Value(value)); }

bool UserDefaults::setBool(const std::string& key, bool value) { return setObject(key, Value(value)); }

bool UserDefaults::setDate(const std::string& key, Clock::TimePoint value) {
  return setObject(key, Value(value));
}

bool UserDefaults::setData(const std::string& key, const Bytes& value) { return setObject(key, Value(value)); }

bool UserDefaults::setArray(const std::string& key, const Json& value) {
  if (!value.is_array()) return false;
  return setObject(key, Value(value));
}

bool UserDefaults::setDictionary(const std::string& key, const Json& value) {
  if (!value.is_object()) return false;
  return setObject(key, Value(value));
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  if (stored_.erase(key) > 0 || lastSaveError_) saveOrDeferLocked();
}

std::optional<UserDefaults::Value> UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  return *value;
}

bool UserDefaults::hasKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return findLocked(key) != nullptr;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(value)) return *text;
  return std::nullopt;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return 0;
  if (const auto* i = std::get_if<std::int64_t>(value)) return *i;
  if (const auto* d = std::get_if<double>(value)) return saturatingInteger(*d);
  if (const auto* b = std::get_if<bool>(value)) return *b ? 1 : 0;
  if (const auto* s = std::get_if<std::string>(value)) return std::strtoll(s->c_str(), nullptr, 10);
  return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return 0;
  if (const auto* d = std::get_if<double>(value)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(value)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(value)) return *b ? 1.0 : 0.0;
  if (const auto* s = std::get_if<std::string>(value)) return std::strtod(s->c_str(), nullptr);
  return 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return false;
  if (const auto* b = std::get_if<bool>(value)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(value)) return *i != 0;
  if (const auto* d = std::get_if<double>(value)) return *d != 0.0;
  if (const auto* s = std::get_if<std::string>(value)) return stringTruth(*s);
  return false;
}

std::optional<Clock::TimePoint> UserDefaults::dateForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  if (const auto* date = std::get_if<Clock::TimePoint>(value)) return *date;
  return std::nullopt;
}

std::optional<Bytes> UserDefaults::dataForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  if (const auto* data = std::get_if<Bytes>(value)) return *data;
  return std::nullopt;
}

std::optional<Json> UserDefaults::arrayForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  if (const auto* json = std::get_if<Json>(value); json && json->is_array()) return *json;
  return std::nullopt;
}

std::optional<Json> UserDefaults::dictionaryForKey(const std::string& key) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Value* value = findLocked(key);
  if (!value) return std::nullopt;
  if (const auto* json = std::get_if<Json>(value); json && json->is_object()) return *json;
  return std::nullopt;
}

UserDefaults::Dictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  Dictionary all = registered_;
  for (const auto& [key, value] : stored_) all[key] = value;
  return all;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  for (const auto& [key, value] : defaults) {
    if (!plist::storableString(key)) continue;
    if (auto kept = storable(value)) registered_[key] = std::move(*kept);
  }
}

bool UserDefaults::synchronize() {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  // Every change is written through, so the file is behind only after a
  // failed write; callers that synchronize after each setter then cost no
  // second write of the whole file.
  if (batchedHereLocked()) return true;
  if (!lastSaveError_) return true;
  return saveLocked();
}

std::optional<Error> UserDefaults::lastLoadError() const {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  return lastLoadError_;
}

std::optional<Error> UserDefaults::lastSaveError() const {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  return lastSaveError_;
}

std::filesystem::path UserDefaults::file() const {
  std::lock_guard<std::mutex> guard(mutex_);
  ensureLoadedLocked();
  return file_;
}

}  // namespace platform
